#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "display/grey_png.h"
#include "display/image_loading.h"
#include "tests/batch_test_support.h"

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct TempDir : testing::TempDir {
  std::string File(const std::string& name, const Bytes& bytes) const {
    testing::WriteText(*this / name, std::string(bytes.begin(), bytes.end()));
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

// Three bands are blue, green and red; one band is the blue byte alone.
void ExpectThePicture(const FloatArray& colour, const FloatArray& grey) {
  ASSERT_EQ(colour.columns(), kWidth);
  ASSERT_EQ(colour.rows(), kHeight);
  ASSERT_EQ(colour.bands(), 3);
  ASSERT_EQ(grey.bands(), 1);
  for (int r = 0; r < kHeight; ++r) {
    for (int c = 0; c < kWidth; ++c) {
      const Bgr p = kPalette[kIndex[r][c]];
      EXPECT_EQ(colour.At(r, c, 0), p.b) << r << "," << c;
      EXPECT_EQ(colour.At(r, c, 1), p.g) << r << "," << c;
      EXPECT_EQ(colour.At(r, c, 2), p.r) << r << "," << c;
      EXPECT_EQ(grey.At(r, c, 0), p.b) << r << "," << c;
    }
  }
}

TEST(ImageLoading, EveryBmpVariantGivesTheSameGrid) {
  TempDir dir;
  const std::vector<std::pair<std::string, Bytes>> variants = {
      {"24-bit bottom-up", Direct(24, false)},
      {"24-bit top-down", Direct(24, true)},
      {"32-bit", Direct(32, false)},
      {"32-bit top-down bit fields", Direct(32, true, {0xFF0000, 0xFF00, 0xFF})},
      {"16-bit 5-6-5", Direct(16, false, {0xF800, 0x07E0, 0x001F})},
      {"16-bit 5-5-5", Direct(16, false)},
      {"8-bit palette, 12-byte header", CoreIndexed()},
      {"8-bit palette", Indexed(8)},
      {"4-bit palette", Indexed(4)},
      {"8-bit run length", RunLength(8)},
      {"4-bit run length", RunLength(4)},
  };
  for (const auto& [name, bytes] : variants) {
    SCOPED_TRACE(name);
    const std::string file = dir.File("picture.bmp", bytes);
    const auto colour = LoadImageGrid(file, 3);
    const auto grey = LoadImageGrid(file, 1);
    ASSERT_TRUE(colour && grey);
    ExpectThePicture(*colour, *grey);
  }
}

TEST(ImageLoading, RunLengthDeltasSkipPixelsWhichTakeColourZero) {
  // 4 x 2, bottom row first: two pixels of colour 1, a move one right and one
  // up, one pixel of colour 2, end of bitmap.
  const Bytes pixels = {2, 1, 0, 2, 1, 1, 1, 2, 0, 1};
  TempDir dir;
  const auto grid =
      LoadImageGrid(dir.File("delta.bmp", MakeBmp({8, 1, false, {}, kPalette}, pixels, 4, 2)), 3);
  ASSERT_NE(grid, nullptr);
  const int expected[2][4] = {{0, 0, 0, 2}, {1, 1, 0, 0}};
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 4; ++c) {
      EXPECT_EQ(grid->At(r, c, 2), kPalette[expected[r][c]].r) << r << "," << c;
      EXPECT_EQ(grid->At(r, c, 1), kPalette[expected[r][c]].g) << r << "," << c;
    }
  }
}

TEST(ImageLoading, GreyPicturesAgreeAcrossFormats) {
  // 1-bit BMP, PGM and PNG of one black and white picture (the 8- and 24-bit
  // BMP layouts are among the variants above).
  const int w = 9, h = 2;
  auto level = [](int r, int c) {
    return static_cast<std::uint8_t>((c % 2 ? 255 : 0) ^ (r * 255));
  };
  Bytes p1;
  for (int r = h - 1; r >= 0; --r) {
    Bytes l1(4, 0);
    for (int c = 0; c < w; ++c) {
      if (level(r, c)) l1[c / 8] |= 0x80 >> (c % 8);
    }
    p1.insert(p1.end(), l1.begin(), l1.end());
  }
  Bytes pgm = {'P', '5', ' ', '9', ' ', '2', ' ', '2', '5', '5', '\n'};
  FloatArray expected(w, h, 1);
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < w; ++c) {
      pgm.push_back(level(r, c));
      expected.At(r, c, 0) = level(r, c);
    }
  }
  TempDir dir;
  const std::string png = dir / "grey.png";
  ASSERT_TRUE(WriteGreyPng(expected, png));
  const std::vector<std::string> files = {
      dir.File("grey1.bmp", MakeBmp({1, 0, false, {}, {{0, 0, 0}, {255, 255, 255}}}, p1, w, h)),
      dir.File("grey.pgm", pgm), png};
  for (const auto& file : files) {
    SCOPED_TRACE(file);
    const auto grid = LoadImageGrid(file, 1);
    ASSERT_NE(grid, nullptr);
    ASSERT_EQ(grid->columns(), w);
    ASSERT_EQ(grid->rows(), h);
    for (int r = 0; r < h; ++r) {
      for (int c = 0; c < w; ++c) EXPECT_EQ(grid->At(r, c, 0), expected.At(r, c, 0));
    }
  }
}

TEST(ImageLoading, IndicesBeyondTheColourTableAreBlack) {
  TempDir dir;
  Bytes pixels = {0, 7, 1, 0};  // one row of 3 pixels, padded
  const auto grid = LoadImageGrid(
      dir.File("short.bmp", MakeBmp({8, 0, false, {}, {{1, 2, 3}, {4, 5, 6}}}, pixels, 3, 1)), 3);
  ASSERT_NE(grid, nullptr);
  EXPECT_EQ(grid->At(0, 1, 0), 0.0f);
  EXPECT_EQ(grid->At(0, 1, 2), 0.0f);
  EXPECT_EQ(grid->At(0, 2, 2), 6.0f);
}

TEST(ImageLoading, RefusesMissingTruncatedAndMalformedFiles) {
  TempDir dir;
  const Bytes good = Direct(24, false);
  Bytes truncated(good.begin(), good.end() - 8);
  Bytes hugeHeader = good;
  hugeHeader[18] = hugeHeader[19] = hugeHeader[20] = 0xFF, hugeHeader[21] = 0x7F;  // width 2^31-1
  Bytes pixelsInHeader = good;
  pixelsInHeader[10] = 20;  // pixel offset inside the info header
  Bytes badPlanes = good;
  badPlanes[26] = 2;
  Bytes rleTopDown = RunLength(8);
  rleTopDown[22] = rleTopDown[23] = rleTopDown[24] = rleTopDown[25] = 0xFF;  // height -1
  Bytes rleCut = RunLength(8);
  rleCut.resize(rleCut.size() - 12);
  const std::vector<std::pair<std::string, Bytes>> bad = {
      {"empty", {}},
      {"not an image", {'h', 'e', 'l', 'l', 'o'}},
      {"header only", Bytes(good.begin(), good.begin() + 54)},
      {"truncated pixels", truncated},
      {"huge dimensions", hugeHeader},
      {"two planes", badPlanes},
      {"pixels inside the header", pixelsInHeader},
      {"top-down run length", rleTopDown},
      {"run length cut short", rleCut},
      {"truncated png", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13}},
  };
  for (const auto& [name, bytes] : bad) {
    SCOPED_TRACE(name);
    EXPECT_EQ(LoadImageGrid(dir.File("bad.img", bytes), 3), nullptr);
  }
  EXPECT_EQ(LoadImageGrid(dir / "missing.bmp", 3), nullptr);
  EXPECT_EQ(LoadImageGrid(dir.path.string(), 3), nullptr);
  EXPECT_EQ(LoadImageGrid(dir.File("good.bmp", good), 0), nullptr);
}

TEST(ImageLoading, PgmAndPpmSamplesAreScaledToBytes) {
  TempDir dir;
  auto bytes = [](const std::string& header, std::initializer_list<int> samples) {
    Bytes b(header.begin(), header.end());
    for (int v : samples) b.push_back(static_cast<std::uint8_t>(v));
    return b;
  };
  // Maximum 15, a comment in the header: 0, 8 and 15 become 0, 136 and 255.
  const auto pgm =
      LoadImageGrid(dir.File("a.pgm", bytes("P5\n# made by hand\n3 1\n15\n", {0, 8, 15})), 1);
  ASSERT_NE(pgm, nullptr);
  EXPECT_EQ(pgm->At(0, 0, 0), 0.0f);
  EXPECT_EQ(pgm->At(0, 1, 0), 136.0f);
  EXPECT_EQ(pgm->At(0, 2, 0), 255.0f);
  // Two bytes per sample, most significant first; red, green, blue in the file.
  const auto ppm =
      LoadImageGrid(dir.File("b.ppm", bytes("P6 1 1 65535 ", {0xFF, 0xFF, 0x80, 0x00, 0, 0})), 3);
  ASSERT_NE(ppm, nullptr);
  EXPECT_EQ(ppm->At(0, 0, 0), 0.0f);
  EXPECT_EQ(ppm->At(0, 0, 1), 128.0f);
  EXPECT_EQ(ppm->At(0, 0, 2), 255.0f);
  EXPECT_EQ(LoadImageGrid(dir.File("c.pgm", bytes("P5 3 1 255 ", {1, 2})), 1), nullptr);
}

TEST(ImageLoading, InputsFoundByFuzzingAreRefusedOrDecodedSafely) {
  const fs::path folder = fs::path(TAVREL_SOURCE_DIR) / "tests/fuzz/regressions/image_decoding";
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().string());
    Surface surface;
    if (LoadImageSurface(entry.path().string(), surface)) {
      EXPECT_EQ(surface.pixels.size(), std::size_t{4} * surface.width * surface.height);
    }
    ++checked;
  }
  EXPECT_GT(checked, 0);
  // A JPEG whose Huffman table overflows (JPEG is refused), a PGM header whose
  // width overflows an int, a PNG chunk claiming 2 GB in a file of 100 bytes.
  for (const char* name : {"jpeg-huffman-table-overflow", "pnm-header-number-overflow",
                           "png-chunk-longer-than-file"}) {
    Surface surface;
    EXPECT_FALSE(LoadImageSurface((folder / name).string(), surface)) << name;
  }
}

}  // namespace
}  // namespace tavrel
