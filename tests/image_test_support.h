#pragma once

// Image files built byte by byte for the decoder tests: BMP layouts around
// one small colour picture, PNG chunks with their checksums, PGM headers.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/batch_test_support.h"

namespace tavrel::testing {

using Bytes = std::vector<std::uint8_t>;

struct ImageDir : TempDir {
  std::string File(const std::string& name, const Bytes& bytes) const {
    WriteText(*this / name, std::string(bytes.begin(), bytes.end()));
    return *this / name;
  }
};

struct Bgr {
  std::uint8_t b, g, r;
};

// A 5 x 3 picture drawn from a palette of colours whose channels are 0 or 255,
// so that every encoding below, 16-bit ones included, holds it exactly.
// Pixel (row 0, column 0), the top-left one, is pure red.
const std::vector<Bgr> kPalette = {{0, 0, 255},     {0, 255, 0}, {255, 0, 0},
                                   {255, 255, 255}, {0, 0, 0},   {0, 255, 255}};
const int kWidth = 5, kHeight = 3;
const int kIndex[kHeight][kWidth] = {{0, 1, 2, 3, 4}, {5, 5, 0, 0, 1}, {4, 3, 2, 1, 0}};

void Put16(Bytes& b, unsigned v) {
  b.push_back(v & 255);
  b.push_back((v >> 8) & 255);
}
void Put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 255);
}

struct BmpLayout {
  int bitsPerPixel = 24;
  std::uint32_t compression = 0;
  bool topDown = false;
  std::vector<std::uint32_t> masks;  // written after a 40-byte header
  std::vector<Bgr> palette;
};

// A file with a 40-byte info header; `pixels` is the pixel array as stored.
Bytes MakeBmp(const BmpLayout& layout, const Bytes& pixels, int width = kWidth,
              int height = kHeight) {
  const std::uint32_t offset =
      14 + 40 + 4 * static_cast<std::uint32_t>(layout.masks.size() + layout.palette.size());
  Bytes b = {'B', 'M'};
  const auto size = static_cast<std::uint32_t>(pixels.size());
  const auto rows = static_cast<std::uint32_t>(layout.topDown ? -height : height);
  for (std::uint32_t v : {offset + size, 0u, offset, 40u, std::uint32_t(width), rows}) Put32(b, v);
  Put16(b, 1);
  Put16(b, layout.bitsPerPixel);
  const auto colours = static_cast<std::uint32_t>(layout.palette.size());
  for (std::uint32_t v : {layout.compression, size, 2835u, 2835u, colours, 0u}) Put32(b, v);
  for (std::uint32_t m : layout.masks) Put32(b, m);
  for (const Bgr& c : layout.palette) b.insert(b.end(), {c.b, c.g, c.r, 0});
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

// Rows in file order (bottom-up unless topDown), each padded to 4 bytes.
Bytes PackRows(bool topDown, const std::function<void(Bytes&, int row)>& writeRow) {
  Bytes pixels;
  for (int i = 0; i < kHeight; ++i) {
    const int row = topDown ? i : kHeight - 1 - i;
    Bytes line;
    writeRow(line, row);
    while (line.size() % 4) line.push_back(0);
    pixels.insert(pixels.end(), line.begin(), line.end());
  }
  return pixels;
}

Bytes Direct(int bits, bool topDown, const std::vector<std::uint32_t>& masks = {}) {
  BmpLayout layout{bits, masks.empty() ? 0u : 3u, topDown, masks, {}};
  return MakeBmp(layout, PackRows(topDown, [&](Bytes& line, int row) {
                   for (int c = 0; c < kWidth; ++c) {
                     const Bgr p = kPalette[kIndex[row][c]];
                     if (bits == 24) {
                       line.insert(line.end(), {p.b, p.g, p.r});
                     } else if (bits == 32) {
                       line.insert(line.end(), {p.b, p.g, p.r, 0x7F});
                     } else if (masks.empty()) {  // 5-5-5, the layout without bit fields
                       Put16(line, (p.r >> 3) << 10 | (p.g >> 3) << 5 | p.b >> 3);
                     } else {  // 5-6-5
                       Put16(line, (p.r >> 3) << 11 | (p.g >> 2) << 5 | p.b >> 3);
                     }
                   }
                 }));
}

Bytes Indexed(int bits) {
  BmpLayout layout{bits, 0, false, {}, kPalette};
  return MakeBmp(layout, PackRows(false, [&](Bytes& line, int row) {
                   int acc = 0, used = 0;
                   for (int c = 0; c < kWidth; ++c) {
                     acc = acc << bits | kIndex[row][c];
                     used += bits;
                     if (used == 8) line.push_back(acc), acc = 0, used = 0;
                   }
                   if (used) line.push_back(acc << (8 - used));
                 }));
}

// The older 12-byte info header: 16-bit width and height, and a colour
// table of 3-byte entries (blue, green, red) instead of 4.
Bytes CoreIndexed() {
  Bytes pixels = PackRows(false, [](Bytes& line, int row) {
    for (int c = 0; c < kWidth; ++c) line.push_back(static_cast<std::uint8_t>(kIndex[row][c]));
  });
  const auto offset = static_cast<std::uint32_t>(14 + 12 + 3 * kPalette.size());
  Bytes b = {'B', 'M'};
  for (std::uint32_t v : {offset + static_cast<std::uint32_t>(pixels.size()), 0u, offset, 12u}) {
    Put32(b, v);
  }
  for (unsigned v : {kWidth, kHeight, 1, 8}) Put16(b, v);
  for (const Bgr& c : kPalette) b.insert(b.end(), {c.b, c.g, c.r});
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

Bytes RunLength(int bits) {
  BmpLayout layout{bits, bits == 8 ? 1u : 2u, false, {}, kPalette};
  Bytes pixels;
  for (int row = kHeight - 1; row >= 0; --row) {
    // An encoded run of the first two pixels, then the rest as an absolute run.
    if (bits == 8) {
      pixels.insert(pixels.end(),
                    {1, std::uint8_t(kIndex[row][0]), 1, std::uint8_t(kIndex[row][1])});
      pixels.insert(pixels.end(), {0, 3, std::uint8_t(kIndex[row][2]), std::uint8_t(kIndex[row][3]),
                                   std::uint8_t(kIndex[row][4]), 0});
    } else {
      pixels.insert(pixels.end(), {2, std::uint8_t(kIndex[row][0] << 4 | kIndex[row][1])});
      pixels.insert(pixels.end(), {0, 3, std::uint8_t(kIndex[row][2] << 4 | kIndex[row][3]),
                                   std::uint8_t(kIndex[row][4] << 4)});
    }
    pixels.insert(pixels.end(), {0, 0});
  }
  pixels.insert(pixels.end(), {0, 1});
  return MakeBmp(layout, pixels);
}

// PNG's chunk checksum (CRC-32 of the type and data), bit by bit.
inline std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

inline void PutBigEndian32(Bytes& b, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back((v >> (8 * i)) & 255);
}

// Appends a chunk of `type` with `data` and its correct CRC.
inline void PutChunk(Bytes& png, const std::string& type, const Bytes& data) {
  PutBigEndian32(png, static_cast<std::uint32_t>(data.size()));
  Bytes typed(type.begin(), type.end());
  typed.insert(typed.end(), data.begin(), data.end());
  png.insert(png.end(), typed.begin(), typed.end());
  PutBigEndian32(png, Crc32(typed.data(), typed.size()));
}

inline Bytes PngSignature() { return {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}; }

// IHDR of an 8-bit grey picture.
inline Bytes GreyIhdr(std::uint32_t width, std::uint32_t height) {
  Bytes data;
  PutBigEndian32(data, width);
  PutBigEndian32(data, height);
  data.insert(data.end(), {8, 0, 0, 0, 0});
  return data;
}

// A 2 x 1 grey PNG (levels 0 and 255): one zlib stream of one stored block.
inline Bytes TinyGreyPng() {
  Bytes png = PngSignature();
  PutChunk(png, "IHDR", GreyIhdr(2, 1));
  const Bytes raw = {0, 0, 255};  // filter type none, two samples
  Bytes zlib = {0x78, 0x01, 1, 3, 0, 0xFC, 0xFF};
  zlib.insert(zlib.end(), raw.begin(), raw.end());
  // Adler-32 of the raw bytes.
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t v : raw) a = (a + v) % 65521, b = (b + a) % 65521;
  PutBigEndian32(zlib, b << 16 | a);
  PutChunk(png, "IDAT", zlib);
  PutChunk(png, "IEND", {});
  return png;
}

}  // namespace tavrel::testing
