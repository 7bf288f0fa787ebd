#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "imageio/grey_png.h"
#include "imageio/image_loading.h"
#include "tests/image_test_support.h"

namespace tavrel {
namespace {

using namespace testing;
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
  ImageDir dir;
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
  ImageDir dir;
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
  ImageDir dir;
  const std::vector<std::uint8_t> encoded = EncodeGreyPng(expected);
  ASSERT_FALSE(encoded.empty());
  const std::string png = dir.File("grey.png", encoded);
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

TEST(ImageLoading, PgmAndPpmSamplesAreScaledToBytes) {
  ImageDir dir;
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
}

TEST(ImageLoading, ShortColourTablesServeTheIndicesTheyHold) {
  // Two entries for 8 bits per pixel: indices 0 and 1 are all the row uses.
  ImageDir dir;
  const Bytes pixels = {1, 0, 1, 0};
  const auto grid = LoadImageGrid(
      dir.File("short.bmp", MakeBmp({8, 0, false, {}, {{1, 2, 3}, {4, 5, 6}}}, pixels, 3, 1)), 3);
  EXPECT_EQ(grid->At(0, 0, 2), 6.0f);
  EXPECT_EQ(grid->At(0, 1, 0), 1.0f);
  EXPECT_EQ(grid->At(0, 2, 1), 5.0f);
}

TEST(ImageLoading, HandMadePngWithCheckedChunksDecodes) {
  const Bytes png = TinyGreyPng();
  const Surface surface = DecodeImage(png.data(), png.size());
  ASSERT_EQ(surface.width, 2);
  ASSERT_EQ(surface.height, 1);
  EXPECT_EQ(surface.Pixel(0, 0)[1], 0);
  EXPECT_EQ(surface.Pixel(0, 1)[1], 255);
}

}  // namespace
}  // namespace tavrel
