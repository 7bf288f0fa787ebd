#include "display/bmp_decoding.h"

#include <array>
#include <bit>
#include <cstdlib>
#include <vector>

namespace tavrel {
namespace {

constexpr std::uint32_t kRgb = 0;
constexpr std::uint32_t kRle8 = 1;
constexpr std::uint32_t kRle4 = 2;
constexpr std::uint32_t kBitFields = 3;
constexpr std::uint32_t kAlphaBitFields = 6;

struct Bgr {
  std::uint8_t blue = 0, green = 0, red = 0;
};

// Bounds-checked little-endian reads over the whole file.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t size() const { return size_; }
  bool Has(std::uint64_t offset, std::uint64_t count) const {
    return offset <= size_ && count <= size_ - offset;
  }
  std::uint8_t U8(std::size_t offset) const { return data_[offset]; }
  std::uint16_t U16(std::size_t offset) const {
    return static_cast<std::uint16_t>(data_[offset] | data_[offset + 1] << 8);
  }
  std::uint32_t U32(std::size_t offset) const {
    return static_cast<std::uint32_t>(data_[offset]) | std::uint32_t{data_[offset + 1]} << 8 |
           std::uint32_t{data_[offset + 2]} << 16 | std::uint32_t{data_[offset + 3]} << 24;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

struct Header {
  std::uint32_t pixelOffset = 0;
  std::uint32_t headerSize = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;  // of the picture, always positive
  bool topDown = false;
  int bitsPerPixel = 0;
  std::uint32_t compression = kRgb;
  std::uint32_t coloursUsed = 0;
  std::array<std::uint32_t, 3> masks{};  // red, green, blue
};

// One channel under a mask, scaled to 0..255 with rounding.
class Channel {
 public:
  explicit Channel(std::uint32_t mask)
      : mask_(mask), shift_(mask ? std::countr_zero(mask) : 0), max_(mask ? mask >> shift_ : 0) {}
  std::uint8_t operator()(std::uint32_t value) const {
    if (max_ == 0) return 0;
    const std::uint64_t v = (value & mask_) >> shift_;
    return static_cast<std::uint8_t>((v * 255 + max_ / 2) / max_);
  }

 private:
  std::uint32_t mask_;
  int shift_;
  std::uint64_t max_;
};

bool ReadHeader(const Bytes& file, Header& h) {
  if (!file.Has(0, 18) || file.U8(0) != 'B' || file.U8(1) != 'M') return false;
  h.pixelOffset = file.U32(10);
  h.headerSize = file.U32(14);
  const std::size_t at = 14;
  if (h.headerSize == 12) {
    if (!file.Has(at, 12)) return false;
    h.width = file.U16(at + 4);
    h.height = file.U16(at + 6);
    if (file.U16(at + 8) != 1) return false;
    h.bitsPerPixel = file.U16(at + 10);
  } else if (h.headerSize >= 40 && h.headerSize <= 124) {
    if (!file.Has(at, h.headerSize)) return false;
    h.width = static_cast<std::int32_t>(file.U32(at + 4));
    const std::int64_t height = static_cast<std::int32_t>(file.U32(at + 8));
    h.topDown = height < 0;
    h.height = std::llabs(height);
    if (file.U16(at + 12) != 1) return false;
    h.bitsPerPixel = file.U16(at + 14);
    h.compression = file.U32(at + 16);
    h.coloursUsed = file.U32(at + 32);
    if (h.compression == kBitFields || h.compression == kAlphaBitFields) {
      // Masks follow a 40-byte header, or stand inside a longer one.
      if (!file.Has(at + 40, 12)) return false;
      h.masks = {file.U32(at + 40), file.U32(at + 44), file.U32(at + 48)};
    }
  } else {
    return false;
  }
  if (h.width <= 0 || h.height <= 0) return false;

  switch (h.compression) {
    case kRgb:
      if (h.bitsPerPixel == 16) h.masks = {0x7C00, 0x03E0, 0x001F};
      if (h.bitsPerPixel == 32) h.masks = {0xFF0000, 0x00FF00, 0x0000FF};
      return h.bitsPerPixel == 1 || h.bitsPerPixel == 4 || h.bitsPerPixel == 8 ||
             h.bitsPerPixel == 16 || h.bitsPerPixel == 24 || h.bitsPerPixel == 32;
    case kRle8:
      return h.bitsPerPixel == 8 && !h.topDown;
    case kRle4:
      return h.bitsPerPixel == 4 && !h.topDown;
    case kBitFields:
    case kAlphaBitFields:
      return h.bitsPerPixel == 16 || h.bitsPerPixel == 32;
    default:
      return false;
  }
}

// The colour table lies between the headers and the pixels; entries that
// would overlap the pixels or leave the file are not part of it.
std::vector<Bgr> ReadColourTable(const Bytes& file, const Header& h) {
  std::vector<Bgr> table;
  if (h.bitsPerPixel > 8) return table;
  const std::uint64_t entrySize = h.headerSize == 12 ? 3 : 4;
  std::uint64_t start = 14 + std::uint64_t{h.headerSize};
  if (h.headerSize == 40 && (h.compression == kBitFields || h.compression == kAlphaBitFields)) {
    start += 12;
  }
  std::uint64_t count = std::uint64_t{1} << h.bitsPerPixel;
  if (h.coloursUsed != 0 && h.coloursUsed < count) count = h.coloursUsed;
  const std::uint64_t end = std::min<std::uint64_t>(h.pixelOffset, file.size());
  if (end < start) return table;
  count = std::min(count, (end - start) / entrySize);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::size_t p = start + i * entrySize;
    table.push_back({file.U8(p), file.U8(p + 1), file.U8(p + 2)});
  }
  return table;
}

void PutPixel(Surface& s, std::int64_t row, std::int64_t column, Bgr colour) {
  std::uint8_t* pixel = s.Pixel(static_cast<int>(row), static_cast<int>(column));
  pixel[0] = colour.blue;
  pixel[1] = colour.green;
  pixel[2] = colour.red;
  pixel[3] = 0;
}

Bgr Lookup(const std::vector<Bgr>& table, unsigned index) {
  return index < table.size() ? table[index] : Bgr{};
}

bool DecodeUncompressed(const Bytes& file, const Header& h, const std::vector<Bgr>& table,
                        Surface& s) {
  const std::uint64_t stride = (static_cast<std::uint64_t>(h.width) * h.bitsPerPixel + 31) / 32 * 4;
  const std::uint64_t lastRowBytes = (static_cast<std::uint64_t>(h.width) * h.bitsPerPixel + 7) / 8;
  // The last row stored may lack its padding; everything else must be there.
  if (!file.Has(h.pixelOffset, stride * (h.height - 1) + lastRowBytes)) return false;
  const Channel red(h.masks[0]), green(h.masks[1]), blue(h.masks[2]);
  for (std::int64_t fileRow = 0; fileRow < h.height; ++fileRow) {
    const std::int64_t row = h.topDown ? fileRow : h.height - 1 - fileRow;
    const std::size_t line = h.pixelOffset + fileRow * stride;
    for (std::int64_t c = 0; c < h.width; ++c) {
      Bgr colour;
      switch (h.bitsPerPixel) {
        case 1:
          colour = Lookup(table, (file.U8(line + c / 8) >> (7 - c % 8)) & 1);
          break;
        case 4:
          colour = Lookup(table, (file.U8(line + c / 2) >> (c % 2 ? 0 : 4)) & 15);
          break;
        case 8:
          colour = Lookup(table, file.U8(line + c));
          break;
        case 24: {
          const std::size_t p = line + c * 3;
          colour = {file.U8(p), file.U8(p + 1), file.U8(p + 2)};
          break;
        }
        default: {
          const std::uint32_t v =
              h.bitsPerPixel == 16 ? file.U16(line + c * 2) : file.U32(line + c * 4);
          colour = {blue(v), green(v), red(v)};
          break;
        }
      }
      PutPixel(s, row, c, colour);
    }
  }
  return true;
}

// RLE4 and RLE8 streams, always bottom-up. Runs that reach past the right edge
// are cut there; a stream that ends before the end-of-bitmap code is accepted
// only when it has reached the top row.
bool DecodeRunLength(const Bytes& file, const Header& h, const std::vector<Bgr>& table,
                     Surface& s) {
  const bool four = h.bitsPerPixel == 4;
  const Bgr background = Lookup(table, 0);
  for (std::int64_t r = 0; r < h.height; ++r) {
    for (std::int64_t c = 0; c < h.width; ++c) PutPixel(s, r, c, background);
  }
  std::int64_t x = 0, y = 0;  // y counts rows from the bottom
  auto put = [&](unsigned index) {
    if (x < h.width && y < h.height) PutPixel(s, h.height - 1 - y, x, Lookup(table, index));
    ++x;
  };
  std::uint64_t p = h.pixelOffset;
  while (y < h.height) {
    if (!file.Has(p, 2)) return false;
    const unsigned count = file.U8(p), value = file.U8(p + 1);
    p += 2;
    if (count > 0) {
      for (unsigned i = 0; i < count; ++i) put(four ? (i % 2 ? value & 15 : value >> 4) : value);
    } else if (value == 0) {
      x = 0;
      ++y;
    } else if (value == 1) {
      return true;
    } else if (value == 2) {
      if (!file.Has(p, 2)) return false;
      x += file.U8(p);
      y += file.U8(p + 1);
      p += 2;
    } else {
      const std::uint64_t bytes = four ? (value + 1) / 2 : value;
      if (!file.Has(p, bytes)) return false;
      for (unsigned i = 0; i < value; ++i) {
        const unsigned byte = file.U8(p + (four ? i / 2 : i));
        put(four ? (i % 2 ? byte & 15 : byte >> 4) : byte);
      }
      p += (bytes + 1) / 2 * 2;
    }
  }
  return true;
}

}  // namespace

bool LooksLikeBmp(const std::uint8_t* bytes, std::size_t size) {
  return size >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
}

bool DecodeBmp(const std::uint8_t* bytes, std::size_t size, std::uint64_t maxPixels,
               Surface& surface) {
  const Bytes file(bytes, size);
  Header h;
  if (!ReadHeader(file, h)) return false;
  if (static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(h.height) > maxPixels) {
    return false;
  }
  // The pixels must follow the headers and start inside the file.
  if (h.pixelOffset < 14 + std::uint64_t{h.headerSize} || h.pixelOffset >= size) return false;
  const std::vector<Bgr> table = ReadColourTable(file, h);
  if (h.bitsPerPixel <= 8 && table.empty()) return false;
  Surface decoded(static_cast<int>(h.width), static_cast<int>(h.height));
  const bool ok = (h.compression == kRle4 || h.compression == kRle8)
                      ? DecodeRunLength(file, h, table, decoded)
                      : DecodeUncompressed(file, h, table, decoded);
  if (!ok) return false;
  surface = std::move(decoded);
  return true;
}

}  // namespace tavrel
