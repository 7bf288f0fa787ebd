#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "display/colour_maps.h"

namespace tavrel {
namespace {

double Lightness(Rgb c) { return 0.2126 * c.red + 0.7152 * c.green + 0.0722 * c.blue; }

TEST(ColourMapTest, ScalesRunTheirWayAndClamp) {
  EXPECT_EQ(ColourAt(ColourMap::Viridis, 0.0), (Rgb{0x44, 0x01, 0x54}));
  EXPECT_EQ(ColourAt(ColourMap::Viridis, 1.0), (Rgb{0xfd, 0xe7, 0x25}));
  EXPECT_EQ(ColourAt(ColourMap::Viridis, -3.0), ColourAt(ColourMap::Viridis, 0.0));
  EXPECT_EQ(ColourAt(ColourMap::Viridis, 7.0), ColourAt(ColourMap::Viridis, 1.0));
  EXPECT_EQ(ColourAt(ColourMap::Grey, 0.5), (Rgb{128, 128, 128}));
  EXPECT_EQ(ColourAt(ColourMap::Diverging, std::nan("")), Rgb{});

  // Viridis gets lighter all the way; the diverging scale is lightest in the
  // middle, blue below it and red above it.
  double previous = -1.0;
  for (int i = 0; i <= 100; ++i) {
    const double lightness = Lightness(ColourAt(ColourMap::Viridis, i / 100.0));
    EXPECT_GT(lightness, previous) << i;
    previous = lightness;
  }
  const Rgb low = ColourAt(ColourMap::Diverging, 0.0);
  const Rgb middle = ColourAt(ColourMap::Diverging, 0.5);
  const Rgb high = ColourAt(ColourMap::Diverging, 1.0);
  EXPECT_GT(low.blue, low.red);
  EXPECT_GT(high.red, high.blue);
  EXPECT_GT(Lightness(middle), Lightness(ColourAt(ColourMap::Diverging, 0.4)));
  EXPECT_GT(Lightness(middle), Lightness(ColourAt(ColourMap::Diverging, 0.6)));
}

TEST(ColourMapTest, CycleComesBackToGrey) {
  ColourMap map = ColourMap::Grey;
  map = NextColourMap(map);
  EXPECT_STREQ(ColourMapName(map), "Viridis");
  map = NextColourMap(map);
  EXPECT_STREQ(ColourMapName(map), "Diverging");
  EXPECT_EQ(NextColourMap(map), ColourMap::Grey);
}

TEST(ColourMapTest, RangeSkipsValuesThatAreNotFinite) {
  FloatArray grid(3, 2, 2);
  grid.Fill(5.0f);
  EXPECT_FALSE(FiniteRange(grid, 2));
  grid.At(0, 0, 1) = -2.5f;
  grid.At(1, 2, 1) = std::numeric_limits<float>::infinity();
  grid.At(1, 1, 1) = std::nanf("");
  grid.At(0, 1, 1) = 9.0f;
  const auto range = FiniteRange(grid, 1);
  ASSERT_TRUE(range);
  EXPECT_EQ(range->low, -2.5);
  EXPECT_EQ(range->high, 9.0);
  FloatArray empty(2, 2, 1);
  empty.Fill(std::nanf(""));
  EXPECT_FALSE(FiniteRange(empty, 0));
}

TEST(ColourMapTest, RenderingPutsTheRangeEndsAtTheScaleEnds) {
  FloatArray grid(4, 3, 1);
  grid.Fill(10.0f);
  grid.At(0, 0, 0) = 0.0f;
  grid.At(0, 1, 0) = 20.0f;
  grid.At(0, 2, 0) = std::numeric_limits<float>::quiet_NaN();
  Surface surface(3, 5);  // narrower than the grid, taller
  surface.pixels.assign(surface.pixels.size(), 7);
  RenderMapped(grid, 0, ColourMap::Viridis, ValueRange{0.0, 20.0}, surface);
  auto colour = [&surface](int r, int c) {
    const std::uint8_t* p = surface.Pixel(r, c);
    return Rgb{p[2], p[1], p[0]};
  };
  EXPECT_EQ(colour(0, 0), ColourAt(ColourMap::Viridis, 0.0));
  EXPECT_EQ(colour(0, 1), ColourAt(ColourMap::Viridis, 1.0));
  EXPECT_EQ(colour(0, 2), Rgb{});
  EXPECT_EQ(colour(2, 2), ColourAt(ColourMap::Viridis, 0.5));
  EXPECT_EQ(surface.Pixel(0, 0)[3], 0);
  // Rows below the grid are left as they were.
  EXPECT_EQ(surface.Pixel(3, 0)[0], 7);

  // An empty range puts everything at the middle.
  RenderMapped(grid, 0, ColourMap::Diverging, ValueRange{4.0, 4.0}, surface);
  EXPECT_EQ(colour(0, 1), ColourAt(ColourMap::Diverging, 0.5));
}

}  // namespace
}  // namespace tavrel
