#include <gtest/gtest.h>

#include <algorithm>

#include "display/rendering.h"
#include "imageio/pixel_conversion.h"

namespace tavrel {
namespace {

TEST(Array2Surface, ColourGridsRoundTripThroughSurface2Array) {
  Surface original(3, 2);
  for (std::size_t i = 0; i < original.pixels.size(); ++i) {
    original.pixels[i] = static_cast<std::uint8_t>(37 * i + 11);
  }
  FloatArray grid(3, 2, 3);
  ASSERT_TRUE(Surface2Array(original, grid));
  EXPECT_EQ(grid.At(1, 2, 0), static_cast<float>(original.Pixel(1, 2)[0]));
  EXPECT_EQ(grid.At(1, 2, 2), static_cast<float>(original.Pixel(1, 2)[2]));
  Surface copy(3, 2);
  ASSERT_TRUE(Array2Surface(grid, copy));
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 3; ++c) {
      for (int b = 0; b < 3; ++b) EXPECT_EQ(copy.Pixel(r, c)[b], original.Pixel(r, c)[b]);
      EXPECT_EQ(copy.Pixel(r, c)[3], 0);
    }
  }
}

TEST(Surface2Array, GridsLargerThanTheSurfaceAreRefusedSmallerOnesUseItsCorner) {
  Surface surface(2, 2);
  FloatArray wide(3, 2, 1), tall(2, 3, 1);
  EXPECT_FALSE(Surface2Array(surface, wide));
  EXPECT_FALSE(Surface2Array(surface, tall));
  EXPECT_FALSE(Array2Surface(wide, surface));
  EXPECT_FALSE(Array2Surface(tall, surface));
  // A smaller grid takes the surface's top-left part, and is drawn there
  // alone: the rest of the surface keeps what it held.
  std::fill(surface.pixels.begin(), surface.pixels.end(), 0xAB);
  surface.Pixel(0, 0)[0] = 9;
  FloatArray corner(1, 1, 1);
  ASSERT_TRUE(Surface2Array(surface, corner));
  EXPECT_EQ(corner.At(0, 0, 0), 9.0f);
  corner.At(0, 0, 0) = 200.0f;
  Surface expected = surface;
  std::fill_n(expected.Pixel(0, 0), 3, 200);
  expected.Pixel(0, 0)[3] = 0;
  ASSERT_TRUE(Array2Surface(corner, surface));
  EXPECT_EQ(surface.pixels, expected.pixels);
}

}  // namespace
}  // namespace tavrel
