// Hand-made cases of the heavy stages, each run on every path of
// EnginePaths(): the expected values are worked out here from the stage's
// definition and the roundings it prescribes, never taken from an engine.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/stereo_matcher.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

using testing::Bits;
using testing::EnginePath;
using testing::Filled;
using testing::InInterior;
using testing::MatcherWithGrids;

constexpr float kFloor = 0.08f;

class EnginePathTest : public ::testing::TestWithParam<EnginePath> {
 protected:
  StereoMatcher ComputeL0(const FloatArray& image0, const FloatArray& image1, int minDisparity,
                          int disparities, int radius, float maxScaler, int useSad) const {
    StereoMatcher m;
    m.Prepare(image0.rows(), image0.columns(), testing::RangeParams(disparities, minDisparity));
    GetParam().computeL0(m, image0, image1, radius, maxScaler, useSad);
    return m;
  }
};

// Every cell of `actual` is 0 except those listed, which hold their value;
// compared bit for bit.
struct Cell {
  int row, column, index;
  float value;
};
void ExpectVolume(const FloatArray& actual, const std::vector<Cell>& cells) {
  FloatArray expected = Filled(actual.columns(), actual.rows(), actual.bands(), 0.0f);
  for (const Cell& c : cells) expected.At(c.row, c.column, c.index) = c.value;
  const std::int64_t i = testing::FirstDifference(expected, actual);
  if (i < 0) return;
  const int bands = actual.bands(), columns = actual.columns();
  ADD_FAILURE() << "first difference at row " << i / bands / columns << ", column "
                << i / bands % columns << ", index " << i % bands << ": expected "
                << expected.data()[i] << ", got " << actual.data()[i];
}

// ---- One cooperative iteration ----

// Row 8 is the only interior row, indices 3 and 4 the only interior indices.
StereoMatcher SingleRowMatcher(int minDisparity) {
  StereoMatcher m = MatcherWithGrids(17, 30, 8, minDisparity);
  m.SetIterationRadii(0, 0);
  return m;
}

TEST_P(EnginePathTest, IterationDividesByBothLineSums) {
  StereoMatcher m = SingleRowMatcher(0);
  testing::Plant(m, [](FloatArray& l0, FloatArray& ln) {
    ln.At(8, 12, 3) = 1.0f;  // S = 1; image-1 column 15
    ln.At(8, 12, 4) = 1.0f;  // image-0 line sum of (8, 12): 2
    ln.At(8, 11, 4) = 2.0f;  // also looks at column 15: image-1 line sum 3
    l0.At(8, 12, 3) = 0.5f;
  });
  GetParam().iterate(m);
  // v = 1 / (2 + 3): 1/5 rounds up to 0x1.99999ap-3, whose square
  // 0x1.47ae151eb852p-5 lies above the midpoint 0x1.47ae15p-5 and rounds up to
  // 0x1.47ae16p-5; L0 = 0.5 halves it exactly.
  EXPECT_EQ(m.Ln()->At(8, 12, 3), 0x1.47ae16p-6f);
  EXPECT_EQ(m.IterationCount(), 1);
}

TEST_P(EnginePathTest, IterationKeepsTheSupportOverAZeroTotalAndClampsNegatives) {
  StereoMatcher m = SingleRowMatcher(100);
  testing::Plant(m, [](FloatArray& l0, FloatArray& ln) {
    ln.At(8, 12, 3) = 1.5f;  // the line sum 1.5 - 1.5 is exactly 0
    ln.At(8, 12, 4) = -1.5f;
    l0.At(8, 12, 3) = 0.5f;
    ln.At(8, 14, 3) = -1.0f;  // negative over a non-zero total: clamped
    ln.At(8, 14, 4) = 2.0f;
    l0.At(8, 14, 4) = -0.25f;  // a negative L0 gives at most 0
  });
  GetParam().iterate(m);
  // (8, 12, 4): -1.5 squared would be 2.25 without the clamp; it is +0.
  ExpectVolume(*m.Ln(), {{8, 12, 3, 0.5f * 1.5f * 1.5f}, {8, 14, 4, -0.25f * 4.0f}});
}

TEST_P(EnginePathTest, IterationLetsNotANumberPassTheClamp) {
  StereoMatcher m = SingleRowMatcher(100);
  testing::Plant(m, [](FloatArray&, FloatArray& ln) {
    ln.At(8, 12, 3) = std::numeric_limits<float>::quiet_NaN();
  });
  GetParam().iterate(m);
  EXPECT_TRUE(std::isnan(m.Ln()->At(8, 12, 3)));
  // The running sums carry it on along the row, as NaN - NaN stays NaN.
  EXPECT_TRUE(std::isnan(m.Ln()->At(8, 13, 3)));
  EXPECT_EQ(m.Ln()->At(8, 11, 3), 0.0f);
}

// The disparity sum runs in double, subtracting the index that leaves before
// adding the one that enters. Pixel (8, 8): 2^60 at index 3 and 1 at index 6,
// radius 1, so the step from index 4 to 5 takes 2^60 out and 1 in; in the
// other order 2^60 + 1 rounds to 2^60 and the 1 is lost. Pixel (8, 9): 2^30
// and 1 share the first window; a double sum keeps 2^30 + 1 exactly, so
// taking 2^30 out leaves the 1, which a float sum would have dropped.
TEST_P(EnginePathTest, DisparitySumKeepsSmallValuesBesideHugeOnes) {
  StereoMatcher m = MatcherWithGrids(17, 18, 10, 100);  // image-1 columns all outside
  m.SetIterationRadii(0, 1);
  testing::Plant(m, [](FloatArray&, FloatArray& ln) {
    ln.At(8, 8, 3) = 0x1p60f;
    ln.At(8, 8, 6) = 1.0f;
    ln.At(8, 9, 3) = 0x1p30f;
    ln.At(8, 9, 4) = 1.0f;
  });
  GetParam().iterate(m);
  // (8, 8): S = 2^60, 2^60, 1, 1 at indices 3 .. 6. The line sum 2^61 + 2
  // rounds to 2^61, so v = 1/2 twice, then 2^-61, squared 2^-122.
  // (8, 9): S = 2^30 (2^30 + 1 rounded), 2^30, 1, 0; line sum 2^31 + 1 rounds
  // to 2^31: v = 1/2 twice, then 2^-31, squared 2^-62.
  ExpectVolume(*m.Ln(), {{8, 8, 3, 0.25f},
                         {8, 8, 4, 0.25f},
                         {8, 8, 5, 0x1p-122f},
                         {8, 8, 6, 0x1p-122f},
                         {8, 9, 3, 0.25f},
                         {8, 9, 4, 0.25f},
                         {8, 9, 5, 0x1p-62f}});
}

// The same order in the box sum's column window: in column 8, 2^60 at row 8
// and 1 at row 11 (radius 1), so the window at row 10 is formed by taking
// 2^60 out and 1 in. Index 3 is the only interior index and every image-1
// column lies outside, so each cell divides its support by itself: v = 1,
// and Ln is L0 (0.75 at row 10, whose window that step formed).
TEST_P(EnginePathTest, ColumnWindowKeepsSmallValuesBesideHugeOnes) {
  StereoMatcher m = MatcherWithGrids(20, 17, 7, 100);  // interior rows 8 .. 11, column 8
  m.SetIterationRadii(1, 0);
  testing::Plant(m, [](FloatArray& l0, FloatArray& ln) {
    ln.At(8, 8, 3) = 0x1p60f;
    ln.At(11, 8, 3) = 1.0f;
    l0.At(10, 8, 3) = 0.75f;
  });
  GetParam().iterate(m);
  ExpectVolume(*m.Ln(), {{8, 8, 3, 1.0f}, {9, 8, 3, 1.0f}, {10, 8, 3, 0.75f}, {11, 8, 3, 1.0f}});
}

TEST_P(EnginePathTest, IterationOfVolumesWithoutInteriorGivesZerosAndStillCounts) {
  struct Size {
    int rows, columns, disparities;
  };
  std::mt19937 rng(23);
  for (const Size size : {Size{16, 30, 10}, Size{30, 16, 10}, Size{30, 30, 6}}) {
    StereoMatcher m = MatcherWithGrids(size.rows, size.columns, size.disparities, 0);
    std::uniform_int_distribution<int> eighths(0, 16);
    FloatArray l0 = testing::Copy(*m.L0());
    FloatArray ln = testing::Copy(*m.Ln());
    for (std::size_t i = 0; i < ln.size(); ++i) ln.data()[i] = eighths(rng) / 8.0f;
    StageGrids grids = testing::GridsLike(m, l0, ln);
    GetParam().iterateStage(grids);
    ExpectVolume(ln, {});
    GetParam().iterate(m);
    ExpectVolume(*m.Ln(), {});
    EXPECT_EQ(m.IterationCount(), 1);
  }
}

// ---- Initial match values ----

// The similarity 1 - |a - v| / 255 is formed in double and rounded once.
// Image 0 is black and image 1 white except one pixel of 65 in row 11 (the
// last valid row of 20), so for index k only pixel (11, 15 - d) has a
// similarity: 1 - 65/255 = 38/51 = 0x1.7d7d7d7d...p-1, rounded up to
// 0x1.7d7d7ep-1 (in float, 65/255 rounds up first and the difference comes
// out one unit lower). Row 12 lies outside the scaled rows, so its values are
// the raw box means: a ninth of that similarity, 0x1.531a38p-4, in the three
// columns whose window reaches the pixel.
TEST_P(EnginePathTest, SadSimilarityIsFormedInDoubleAndRoundedOnce) {
  const int rows = 20, columns = 30, minDisparity = -2, disparities = 5;
  FloatArray image0 = Filled(columns, rows, 1, 0.0f);
  FloatArray image1 = Filled(columns, rows, 1, 255.0f);
  image1.At(11, 15, 0) = 65.0f;
  const StereoMatcher m =
      ComputeL0(image0, image1, minDisparity, disparities, 1, 0.96f, /*useSad=*/1);
  for (int k = 0; k < disparities; ++k) {
    const int column = 15 - (minDisparity + k);
    for (int c = 0; c < columns; ++c) {
      const float expected = std::abs(c - column) <= 1 ? 0x1.531a38p-4f : 0.0f;
      EXPECT_EQ(Bits(m.L0()->At(12, c, k)), Bits(expected)) << "column " << c << ", index " << k;
    }
  }
}

// Means come from the images masked to the valid region (rows and columns 9
// .. size - 9), moments from the pixel pairs that both lie in it, so a window
// at the region's edge can have a negative variance. Cell (12, 12), index 0
// (d = -5), radius 2, on 20 x 24 images; band 0 is 100 in image 0 and 50 in
// image 1, bands 1 and 2 are 100 and 0. The window covers valid rows 10 and
// 11; of its columns 10 .. 14 only 14 pairs with a valid image-1 column (9).
//   band 0: mean0 = 10 * 100 / 25 = 40, mean1 (at column 7) = 2 * 50 / 25 = 4,
//           var0 = 2 * 100^2 / 25 - 40^2 = -800, var1 = 2 * 50^2 / 25 - 4^2
//           = 184: q < 0, and the square root of it is not a number;
//   bands 1, 2: var1 = 0, so q is -0 and the band adds nothing.
// The band's NaN spoils the pixel; in row 12, outside the scaled rows, it
// stays. Skipping the band instead would give 0.
TEST_P(EnginePathTest, CorrelationBandWithNegativeVarianceProductGivesNotANumber) {
  FloatArray image0 = Filled(24, 20, 3, 100.0f);
  FloatArray image1 = Filled(24, 20, 3, 0.0f);
  for (int r = 0; r < 20; ++r) {
    for (int c = 0; c < 24; ++c) image1.At(r, c, 0) = 50.0f;
  }
  const StereoMatcher m = ComputeL0(image0, image1, -5, 3, 2, 0.96f, /*useSad=*/0);
  EXPECT_TRUE(std::isnan(m.L0()->At(12, 12, 0))) << m.L0()->At(12, 12, 0);
  // In the scaled rows the NaN becomes the floor.
  EXPECT_EQ(m.L0()->At(11, 12, 0), kFloor);
}

TEST_P(EnginePathTest, ConstantImagesAndIndicesLookingOutsideTheImage) {
  const FloatArray grey = Filled(40, 30, 1, 77.0f);
  const int radius = 1;
  const StereoMatcher correlation = ComputeL0(grey, grey, -2, 5, radius, 0.96f, 0);
  // SAD with a cap of 1: the background level reaches 1 and (v - 1) / (1 - 1)
  // is not a number, which the clamp turns into 0.08; with 0.96 it is 1.
  const StereoMatcher sadUncapped = ComputeL0(grey, grey, -2, 5, radius, 1.0f, 1);
  const StereoMatcher sadCapped = ComputeL0(grey, grey, -2, 5, radius, 0.96f, 1);
  const int i = 15, c = 20;  // every window of every index lies in the valid region
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(correlation.L0()->At(i, c, k), kFloor);
    EXPECT_EQ(sadUncapped.L0()->At(i, c, k), kFloor);
    EXPECT_EQ(sadCapped.L0()->At(i, c, k), 1.0f);
  }

  // Indices that look outside the image get the floor too.
  std::mt19937 rng(35);
  const auto [image0, image1] = testing::ShiftedPair(30, 26, 3, 0, rng);
  for (int useSad : {0, 1}) {
    const StereoMatcher m = ComputeL0(image0, image1, 30, 8, 1, 0.96f, useSad);
    for (int i = 8; i <= 26 - 9; ++i) {
      for (int c = 8; c <= 30 - 9; ++c) {
        for (int k = 0; k < 8; ++k) ASSERT_EQ(m.L0()->At(i, c, k), kFloor) << useSad;
      }
    }
  }
}

bool WindowInValidRegion(int row, int column, int radius, int rows, int columns) {
  return row - radius >= 9 && row + radius <= rows - 9 && column - radius >= 9 &&
         column + radius <= columns - 9;
}

// A shifted texture scores exactly 1 at its shift with either measure
// wherever both windows lie in the valid region.
TEST_P(EnginePathTest, PerfectMatchesScoreExactlyOne) {
  std::mt19937 rng(34);
  const int shift = 3, minDisparity = -2, radius = 2, rows = 30, columns = 44;
  for (int useSad : {0, 1}) {
    for (int bands : {1, 3}) {
      const auto [image0, image1] = testing::ShiftedPair(columns, rows, bands, shift, rng);
      const StereoMatcher m = ComputeL0(image0, image1, minDisparity, 9, radius, 0.96f, useSad);
      int checked = 0;
      for (int i = 8; i <= rows - 9; ++i) {
        for (int c = 8; c <= columns - 9; ++c) {
          if (WindowInValidRegion(i, c, radius, rows, columns) &&
              WindowInValidRegion(i, c + shift, radius, rows, columns)) {
            EXPECT_EQ(Bits(m.L0()->At(i, c, shift - minDisparity)), Bits(1.0f))
                << "USE_SAD " << useSad << ", bands " << bands << " at " << i << ", " << c;
            ++checked;
          }
        }
      }
      EXPECT_GT(checked, 50);
    }
  }
}

TEST_P(EnginePathTest, LnStartsAsL0InTheInteriorAndZeroElsewhere) {
  std::mt19937 rng(36);
  const auto [image0, image1] = testing::ShiftedPair(34, 28, 1, 1, rng);
  for (int useSad : {0, 1}) {
    const StereoMatcher m = ComputeL0(image0, image1, -3, 10, 2, 0.96f, useSad);
    EXPECT_EQ(m.L0Ready(), 1);
    for (int i = 0; i < 28; ++i) {
      for (int c = 0; c < 34; ++c) {
        for (int k = 0; k < 10; ++k) {
          const std::uint32_t expected = InInterior(m, i, c, k) ? Bits(m.L0()->At(i, c, k)) : 0u;
          ASSERT_EQ(Bits(m.Ln()->At(i, c, k)), expected) << i << ", " << c << ", " << k;
        }
      }
    }
  }
  // With six indices or fewer each one lies within three of an end.
  const StereoMatcher narrow = ComputeL0(image0, image1, -3, 6, 2, 0.96f, 1);
  ExpectVolume(*narrow.Ln(), {});
}

// ---- Disparity and confidence ----

// One pixel whose match values run from index 0 upwards.
TEST_P(EnginePathTest, PeakInterpolationTiesAndColumnsWithoutAPeak) {
  struct Case {
    std::vector<float> values;
    int minDisparity;
    float disparity, confidence;
  };
  const Case cases[] = {
      // Interpolated towards the larger neighbour.
      {{0, 1, 3, 2, 0}, 5, 5 + 2.25f, 6.0f},
      {{0, 2, 3, 1, 0}, 5, 5 + 1.75f, 6.0f},
      // 2 at index 1 is a local maximum (2 >= 0, 2 >= 2); the equal 2 at
      // index 2 is not greater than the best so far.
      {{0, 2, 2, 0}, 0, 1.5f, 4.0f},
      // A flat peak: both denominators would be 0, the offset stays d.
      {{1, 1, 1, 1}, 0, 1.0f, 3.0f},
      // The lowest of equal peaks wins: not -3 + 5.875 from the peak at 6.
      {{0, 0, 4, 1, 0, 1, 4, 0, 0}, -3, -3 + 2.125f, 5.0f},
      // Weak columns read MinDisparity + 1.
      {std::vector<float>(10, 0.0f), -3, -2.0f, 0.0f},
      {{0, 0, 0, -0.5f, -0.2f, -3.0f, 0, 0, 0}, 4, 5.0f, 0.0f},
      // No candidate at all: values of -1 and below are never accepted, a
      // rising column has no local maximum, one or two indices have no inner one.
      {{-2, -1, -2}, 0, 0.0f, 0.0f},
      {{0, 1, 2, 3}, 7, 7.0f, 0.0f},
      {{1}, -4, -4.0f, 0.0f},
      {{1, 1}, -4, -4.0f, 0.0f},
  };
  for (const Case& c : cases) {
    const int count = static_cast<int>(c.values.size());
    // A single pixel has no interior, so the matcher would hold only zeros
    // in Ln: the backend's extraction is called directly.
    StereoMatcher matcher = MatcherWithGrids(1, 1, count, c.minDisparity);
    FloatArray l0 = testing::Copy(*matcher.L0());
    FloatArray ln(1, 1, count);
    for (int d = 0; d < count; ++d) ln.At(0, 0, d) = c.values[d];
    FloatArray dispConf = Filled(1, 1, 2, 0.0f);
    StageGrids grids = testing::GridsLike(matcher, l0, ln, &dispConf);
    GetParam().extractStage(grids);
    EXPECT_EQ(dispConf.At(0, 0, 0), c.disparity) << ::testing::PrintToString(c.values);
    EXPECT_EQ(Bits(dispConf.At(0, 0, 1)), Bits(c.confidence)) << ::testing::PrintToString(c.values);
  }
}

INSTANTIATE_TEST_SUITE_P(Every, EnginePathTest, ::testing::ValuesIn(testing::EnginePaths()),
                         [](const ::testing::TestParamInfo<EnginePath>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace tavrel
