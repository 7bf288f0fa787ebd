#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "files/pfm_writing.h"
#include "imageio/pfm_file.h"
#include "tests/batch_test_support.h"

namespace tavrel {
namespace {

using testing::ReadText;
using testing::TempDir;
using testing::WriteText;

// Little-endian bytes of the floats, as a PFM with scale -1 stores them.
std::string LittleEndian(std::initializer_list<float> values) {
  std::string bytes;
  for (float v : values) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((bits >> (8 * i)) & 255));
  }
  return bytes;
}

// A 3 x 2 grid whose band 1 numbers the pixels from the top left; the file
// holds the bottom row first, whatever order a reader of our own restores.
TEST(PfmFile, WritesTheChosenBandBottomRowFirstInLittleEndian) {
  FloatArray grid(3, 2, 2);
  grid.Fill(-7.0f);
  const float values[2][3] = {{1.0f, 2.0f, 3.0f}, {4.5f, -0.0f, 6.25f}};
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 3; ++c) grid.At(r, c, 1) = values[r][c];
  }
  TempDir dir;
  ASSERT_TRUE(WritePfm(grid, 1, dir / "grid.pfm"));
  EXPECT_EQ(ReadText(dir / "grid.pfm"), "Pf\n3 2\n-1.0\n" + LittleEndian({4.5f, -0.0f, 6.25f}) +
                                            LittleEndian({1.0f, 2.0f, 3.0f}));
}

TEST(PfmFile, ReadsEitherByteOrderWithRowZeroAtTheTop) {
  TempDir dir;
  WriteText(dir / "little.pfm", "Pf\n2 2\n-1.0\n" + LittleEndian({3.0f, 4.0f, 1.0f, 2.0f}));
  std::string big = LittleEndian({3.0f, 4.0f, 1.0f, 2.0f});
  for (std::size_t i = 0; i < big.size(); i += 4) std::swap(big[i], big[i + 3]);
  for (std::size_t i = 0; i < big.size(); i += 4) std::swap(big[i + 1], big[i + 2]);
  WriteText(dir / "big.pfm", "Pf\n2 2\n1.0\n" + big);
  for (const char* name : {"little.pfm", "big.pfm"}) {
    const auto grid = ReadPfm(dir / name);
    ASSERT_NE(grid, nullptr) << name;
    EXPECT_EQ(grid->At(0, 0, 0), 1.0f) << name;
    EXPECT_EQ(grid->At(0, 1, 0), 2.0f) << name;
    EXPECT_EQ(grid->At(1, 0, 0), 3.0f) << name;
    EXPECT_EQ(grid->At(1, 1, 0), 4.0f) << name;
  }
  WriteText(dir / "short.pfm", "Pf\n2 2\n-1.0\n" + LittleEndian({3.0f, 4.0f, 1.0f}));
  EXPECT_EQ(ReadPfm(dir / "short.pfm"), nullptr);
  WriteText(dir / "colour.pfm", "PF\n1 1\n-1.0\n" + LittleEndian({1.0f, 1.0f, 1.0f}));
  EXPECT_EQ(ReadPfm(dir / "colour.pfm"), nullptr);
}

}  // namespace
}  // namespace tavrel
