#include "imageio/bmp_decoding.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <string>
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

[[noreturn]] void BadField(const std::string& what) {
  throw ImageLoadError("bad header field: " + what);
}

// The headers in the first bytes of the file; throws for a file too short to
// hold them or a field out of range.
Header ReadHeader(const Bytes& file, std::uint64_t fileSize) {
  auto need = [&](std::uint64_t end) {
    if (!file.Has(0, end)) {
      throw ImageLoadError("truncated: the BMP header needs " + std::to_string(end) +
                           " bytes, the file holds " + std::to_string(fileSize));
    }
  };
  need(18);
  Header h;
  h.pixelOffset = file.U32(10);
  h.headerSize = file.U32(14);
  const std::size_t at = 14;
  if (h.headerSize == 12) {
    need(at + 12);
    h.width = file.U16(at + 4);
    h.height = file.U16(at + 6);
    if (file.U16(at + 8) != 1) BadField("planes " + std::to_string(file.U16(at + 8)) + ", not 1");
    h.bitsPerPixel = file.U16(at + 10);
  } else if (h.headerSize >= 40 && h.headerSize <= 124) {
    need(at + h.headerSize);
    h.width = static_cast<std::int32_t>(file.U32(at + 4));
    const std::int64_t height = static_cast<std::int32_t>(file.U32(at + 8));
    h.topDown = height < 0;
    h.height = std::llabs(height);
    if (file.U16(at + 12) != 1) BadField("planes " + std::to_string(file.U16(at + 12)) + ", not 1");
    h.bitsPerPixel = file.U16(at + 14);
    h.compression = file.U32(at + 16);
    h.coloursUsed = file.U32(at + 32);
    if (h.compression == kBitFields || h.compression == kAlphaBitFields) {
      // Masks follow a 40-byte header, or stand inside a longer one.
      need(at + 52);
      h.masks = {file.U32(at + 40), file.U32(at + 44), file.U32(at + 48)};
    }
  } else {
    BadField("header size " + std::to_string(h.headerSize));
  }
  if (h.width <= 0) BadField("width " + std::to_string(h.width));
  if (h.height <= 0) BadField("height " + std::to_string(h.height));

  const std::string depth = std::to_string(h.bitsPerPixel) + " bits per pixel";
  switch (h.compression) {
    case kRgb:
      if (h.bitsPerPixel == 16) h.masks = {0x7C00, 0x03E0, 0x001F};
      if (h.bitsPerPixel == 32) h.masks = {0xFF0000, 0x00FF00, 0x0000FF};
      if (h.bitsPerPixel != 1 && h.bitsPerPixel != 4 && h.bitsPerPixel != 8 &&
          h.bitsPerPixel != 16 && h.bitsPerPixel != 24 && h.bitsPerPixel != 32) {
        throw ImageLoadError("unsupported format: BMP with " + depth);
      }
      break;
    case kRle8:
    case kRle4:
      if (h.bitsPerPixel != (h.compression == kRle8 ? 8 : 4)) {
        BadField(depth + " with run-length compression " + std::to_string(h.compression));
      }
      if (h.topDown) BadField("negative height with run-length compression");
      break;
    case kBitFields:
    case kAlphaBitFields:
      if (h.bitsPerPixel != 16 && h.bitsPerPixel != 32) BadField(depth + " with bit fields");
      // A zero mask would leave its channel black whatever the file holds.
      for (int i = 0; i < 3; ++i) {
        if (h.masks[i] == 0)
          BadField(std::string(i == 0 ? "red" : i == 1 ? "green" : "blue") + " bit mask is zero");
      }
      break;
    default:
      throw ImageLoadError("unsupported format: BMP compression " + std::to_string(h.compression));
  }
  // The pixels must follow the headers and start inside the file.
  if (h.pixelOffset < 14 + std::uint64_t{h.headerSize} || h.pixelOffset >= fileSize) {
    BadField("pixel offset " + std::to_string(h.pixelOffset));
  }
  return h;
}

// The colour table lies between the headers and the pixels; entries that
// would overlap the pixels are not part of it.
std::vector<Bgr> ReadColourTable(ImageSource& source, const Header& h) {
  std::vector<Bgr> table;
  if (h.bitsPerPixel > 8) return table;
  const std::uint64_t entrySize = h.headerSize == 12 ? 3 : 4;
  std::uint64_t start = 14 + std::uint64_t{h.headerSize};
  if (h.headerSize == 40 && (h.compression == kBitFields || h.compression == kAlphaBitFields)) {
    start += 12;
  }
  std::uint64_t count = std::uint64_t{1} << h.bitsPerPixel;
  if (h.coloursUsed != 0 && h.coloursUsed < count) count = h.coloursUsed;
  const std::uint64_t end = h.pixelOffset;
  count = end < start ? 0 : std::min(count, (end - start) / entrySize);
  if (count == 0) throw ImageLoadError("bad header field: no colour table");
  const std::vector<std::uint8_t> bytes =
      ReadBytes(source, start, count * entrySize, "colour table");
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::size_t p = i * entrySize;
    table.push_back({bytes[p], bytes[p + 1], bytes[p + 2]});
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

// An index beyond a short colour table has no colour; guessing one would
// hand the matcher a picture the file does not hold.
Bgr Lookup(const std::vector<Bgr>& table, unsigned index) {
  if (index >= table.size()) {
    throw ImageLoadError("bad colour index " + std::to_string(index) + ": the colour table has " +
                         std::to_string(table.size()) + " entries");
  }
  return table[index];
}

void DecodeUncompressed(ImageSource& source, const Header& h, const std::vector<Bgr>& table,
                        Surface& s) {
  const std::uint64_t stride = (static_cast<std::uint64_t>(h.width) * h.bitsPerPixel + 31) / 32 * 4;
  const std::uint64_t lastRowBytes = (static_cast<std::uint64_t>(h.width) * h.bitsPerPixel + 7) / 8;
  // The last row stored may lack its padding; everything else must be there.
  const std::uint64_t needed = stride * (h.height - 1) + lastRowBytes;
  const std::uint64_t available = source.Size() - h.pixelOffset;
  const std::vector<std::uint8_t> bytes =
      ReadBytes(source, h.pixelOffset, std::max(needed, std::min(available, stride * h.height)),
                "pixel data");
  const Bytes pixels(bytes.data(), bytes.size());
  const Channel red(h.masks[0]), green(h.masks[1]), blue(h.masks[2]);
  for (std::int64_t fileRow = 0; fileRow < h.height; ++fileRow) {
    const std::int64_t row = h.topDown ? fileRow : h.height - 1 - fileRow;
    const std::size_t line = fileRow * stride;
    for (std::int64_t c = 0; c < h.width; ++c) {
      Bgr colour;
      switch (h.bitsPerPixel) {
        case 1:
          colour = Lookup(table, (pixels.U8(line + c / 8) >> (7 - c % 8)) & 1);
          break;
        case 4:
          colour = Lookup(table, (pixels.U8(line + c / 2) >> (c % 2 ? 0 : 4)) & 15);
          break;
        case 8:
          colour = Lookup(table, pixels.U8(line + c));
          break;
        case 24: {
          const std::size_t p = line + c * 3;
          colour = {pixels.U8(p), pixels.U8(p + 1), pixels.U8(p + 2)};
          break;
        }
        default: {
          const std::uint32_t v =
              h.bitsPerPixel == 16 ? pixels.U16(line + c * 2) : pixels.U32(line + c * 4);
          colour = {blue(v), green(v), red(v)};
          break;
        }
      }
      PutPixel(s, row, c, colour);
    }
  }
}

// More than a sound encoder writes for a picture: runs of one pixel take two
// bytes, a skip over one pixel four, and each row may end with an end of line
// or a move. Reading stops there, however long the file, so that decoding time
// follows the pixels.
std::uint64_t RunLengthBound(const Header& h) {
  return 4 * static_cast<std::uint64_t>(h.width) * h.height + 4 * h.height + 2;
}

// RLE4 and RLE8 streams, always bottom-up. Runs that reach past the right edge
// are cut there; a stream that ends before the end-of-bitmap code is accepted
// only when it has reached the top row.
void DecodeRunLength(ImageSource& source, const Header& h, const std::vector<Bgr>& table,
                     Surface& s) {
  const std::uint64_t available = source.Size() - h.pixelOffset;
  const bool capped = available > RunLengthBound(h);
  const std::vector<std::uint8_t> bytes =
      ReadBytes(source, h.pixelOffset, capped ? RunLengthBound(h) : available, "pixel data");
  const Bytes file(bytes.data(), bytes.size());
  auto need = [&](std::uint64_t at, std::uint64_t count) {
    if (file.Has(at, count)) return;
    if (capped) {
      throw ImageLoadError("too large: the run-length data goes on past " +
                           std::to_string(bytes.size()) + " bytes, more than a picture of " +
                           SizeText(h.width, h.height) + " needs");
    }
    throw ImageLoadError("truncated: the run-length data ends before the top row");
  };

  const bool four = h.bitsPerPixel == 4;
  const Bgr background = Lookup(table, 0);
  for (std::int64_t r = 0; r < h.height; ++r) {
    for (std::int64_t c = 0; c < h.width; ++c) PutPixel(s, r, c, background);
  }
  std::int64_t x = 0, y = 0;  // y counts rows from the bottom
  // Pixels past the right edge are counted, not visited.
  auto put = [&](unsigned count, auto index) {
    const std::int64_t shown = y < h.height ? std::clamp<std::int64_t>(h.width - x, 0, count) : 0;
    for (std::int64_t i = 0; i < shown; ++i) {
      PutPixel(s, h.height - 1 - y, x + i, Lookup(table, index(static_cast<unsigned>(i))));
    }
    x += count;
  };
  std::uint64_t p = 0;
  while (y < h.height) {
    need(p, 2);
    const unsigned count = file.U8(p), value = file.U8(p + 1);
    p += 2;
    if (count > 0) {
      put(count, [&](unsigned i) { return four ? (i % 2 ? value & 15 : value >> 4) : value; });
    } else if (value == 0) {
      x = 0;
      ++y;
    } else if (value == 1) {
      return;
    } else if (value == 2) {
      need(p, 2);
      x += file.U8(p);
      y += file.U8(p + 1);
      p += 2;
    } else {
      const std::uint64_t length = four ? (value + 1) / 2 : value;
      need(p, length);
      put(value, [&](unsigned i) {
        const unsigned byte = file.U8(p + (four ? i / 2 : i));
        return four ? (i % 2 ? byte & 15 : byte >> 4) : byte;
      });
      p += (length + 1) / 2 * 2;
    }
  }
}

}  // namespace

bool LooksLikeBmp(const std::uint8_t* bytes, std::size_t size) {
  return size >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
}

Surface DecodeBmp(ImageSource& source, std::uint64_t maxPixels) {
  // The longest header with its bit masks.
  constexpr std::uint64_t kHeaderBytes = 14 + 124 + 12;
  const std::vector<std::uint8_t> head =
      ReadBytes(source, 0, std::min(source.Size(), kHeaderBytes), "BMP header");
  const Header h = ReadHeader(Bytes(head.data(), head.size()), source.Size());
  Surface decoded = NewPictureSurface(h.width, h.height, maxPixels);
  const std::vector<Bgr> table = ReadColourTable(source, h);
  if (h.compression == kRle4 || h.compression == kRle8) {
    DecodeRunLength(source, h, table, decoded);
  } else {
    DecodeUncompressed(source, h, table, decoded);
  }
  return decoded;
}

}  // namespace tavrel
