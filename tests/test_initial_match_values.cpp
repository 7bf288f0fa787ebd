#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/reference_engine.h"
#include "engine/stereo_matcher.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

using testing::Bits;
using testing::DirectBoxMean;
using testing::Filled;
using testing::InInterior;
using testing::MatcherWithGrids;

constexpr float kFloor = 0.08f;

StereoMatcher ComputeL0For(const FloatArray& image0, const FloatArray& image1, int minDisparity,
                           int disparities, int radius, float maxScaler, int useSad) {
  StereoMatcher m;
  m.Prepare(image0.rows(), image0.columns(), testing::RangeParams(disparities, minDisparity));
  m.Engine = EngineKind::Reference;
  m.ComputeL0(image0, image1, radius, maxScaler, testing::CostOf(useSad));
  return m;
}

bool InValidRegion(int row, int column, const FloatArray& image) {
  return row >= 9 && row <= image.rows() - 9 && column >= 9 && column <= image.columns() - 9;
}

// True when the radius window around (row, column) lies inside the valid region.
bool WindowInValidRegion(int row, int column, int radius, const FloatArray& image) {
  return InValidRegion(row - radius, column - radius, image) &&
         InValidRegion(row + radius, column + radius, image);
}

bool InNormalisedRegion(int row, int column, const FloatArray& image) {
  return row >= 8 && row <= image.rows() - 9 && column >= 8 && column <= image.columns() - 9;
}

float Clamped(double v) {
  if (!(v >= kFloor)) return kFloor;
  return v > 1.0 ? 1.0f : static_cast<float>(v);
}

// SAD values built from their definition, with the roundings it prescribes:
// each band's similarity 1 - |a - v| / 255 formed in double and added to the
// pixel's float sum, which is divided by the band count; 0 outside the valid
// region. Box means by direct window sums with the box filter's edge rules,
// which equal running sums here because whole intensities make every window
// sum exact. The background level: each pixel's values added in float,
// indices ascending, divided by the index count, then box-averaged with
// radius r + 1 and capped; the scaled value (v - m) / (1 - m) is rounded to
// float before the clamp to 0.08 .. 1.
FloatArray DirectSad(const FloatArray& image0, const FloatArray& image1, int minDisparity,
                     int disparities, int radius, float maxScaler) {
  const int R = image0.rows(), C = image0.columns(), B = image0.bands();
  FloatArray raw(C, R, disparities);
  FloatArray meanGrid = Filled(C, R, 1, 0.0f);
  for (int k = 0; k < disparities; ++k) {
    const int d = minDisparity + k;
    FloatArray similarity = Filled(C, R, 1, 0.0f);
    for (int i = 0; i < R; ++i) {
      for (int c = 0; c < C; ++c) {
        if (!InValidRegion(i, c, image0) || !InValidRegion(i, c + d, image0)) continue;
        float sum = 0.0f;
        for (int b = 0; b < B; ++b) {
          const double a = image0.At(i, c, b), v = image1.Get(i, c + d, b);
          sum = static_cast<float>(sum + (1.0 - std::fabs(a - v) / 255.0));
        }
        similarity.At(i, c, 0) = static_cast<float>(static_cast<double>(sum) / B);
      }
    }
    const FloatArray mean = DirectBoxMean(similarity, radius);
    for (int i = 0; i < R; ++i) {
      for (int c = 0; c < C; ++c) {
        raw.At(i, c, k) = mean.At(i, c, 0);
        float& total = meanGrid.At(i, c, 0);
        total = static_cast<float>(static_cast<double>(total) + mean.At(i, c, 0));
      }
    }
  }
  for (std::size_t i = 0; i < meanGrid.size(); ++i) {
    meanGrid.data()[i] = static_cast<float>(static_cast<double>(meanGrid.data()[i]) / disparities);
  }
  const FloatArray background = DirectBoxMean(meanGrid, radius + 1);
  FloatArray L0(C, R, disparities);
  for (int i = 0; i < R; ++i) {
    for (int c = 0; c < C; ++c) {
      const double m = std::min(background.At(i, c, 0), maxScaler);
      for (int k = 0; k < disparities; ++k) {
        const float scaled = static_cast<float>((raw.At(i, c, k) - m) / (1.0 - m));
        L0.At(i, c, k) = InNormalisedRegion(i, c, image0) ? Clamped(scaled) : raw.At(i, c, k);
      }
    }
  }
  return L0;
}

// Textbook normalized correlation of the two radius windows, mean over the
// bands; for windows that lie inside the valid region.
double DirectCorrelation(const FloatArray& image0, const FloatArray& image1, int row, int column,
                         int d, int radius) {
  const int B = image0.bands();
  const double w = (2.0 * radius + 1) * (2.0 * radius + 1);
  double total = 0.0;
  for (int b = 0; b < B; ++b) {
    double s0 = 0, s1 = 0, s00 = 0, s11 = 0, s01 = 0;
    for (int i = row - radius; i <= row + radius; ++i) {
      for (int c = column - radius; c <= column + radius; ++c) {
        const double a = image0.At(i, c, b), v = image1.At(i, c + d, b);
        s0 += a, s1 += v, s00 += a * a, s11 += v * v, s01 += a * v;
      }
    }
    const double mu0 = s0 / w, mu1 = s1 / w;
    const double q = (s00 / w - mu0 * mu0) * (s11 / w - mu1 * mu1);
    if (q != 0.0) total += (s01 / w - mu0 * mu1) / std::sqrt(q);
  }
  return total / B;
}

TEST(InitialMatchValues, SadFollowsItsDefinitionEverywhere) {
  std::mt19937 rng(31);
  for (int bands : {1, 3}) {
    for (int radius : {0, 1, 4, 7}) {
      const auto [image0, image1] = testing::ShiftedPair(36, 30, bands, 2, rng);
      const StereoMatcher m = ComputeL0For(image0, image1, -3, 9, radius, 0.96f, 1);
      const FloatArray expected = DirectSad(image0, image1, -3, 9, radius, 0.96f);
      EXPECT_EQ(testing::FirstDifference(*m.L0(), expected), -1)
          << "bands " << bands << ", radius " << radius;
    }
  }
}

TEST(InitialMatchValues, CorrelationFollowsItsDefinitionInsideTheValidRegion) {
  std::mt19937 rng(32);
  for (int bands : {1, 3}) {
    for (int radius : {1, 3}) {
      const auto [image0, image1] = testing::ShiftedPair(40, 30, bands, 1, rng);
      const int minDisparity = -3, disparities = 8;
      const StereoMatcher m =
          ComputeL0For(image0, image1, minDisparity, disparities, radius, 0.5f, 0);
      int compared = 0;
      for (int i = 8; i <= 30 - 9; ++i) {
        for (int c = 8; c <= 40 - 9; ++c) {
          for (int k = 0; k < disparities; ++k) {
            const int d = minDisparity + k;
            if (!WindowInValidRegion(i, c, radius, image0) ||
                !WindowInValidRegion(i, c + d, radius, image0)) {
              continue;
            }
            const float expected = Clamped(DirectCorrelation(image0, image1, i, c, d, radius));
            ASSERT_NEAR(m.L0()->At(i, c, k), expected, 1e-5) << i << ", " << c << ", " << k;
            ++compared;
          }
        }
      }
      EXPECT_GT(compared, 100);
    }
  }
}

TEST(InitialMatchValues, FlagsAndScalerSelectOnlyWhatTheyShould) {
  std::mt19937 rng(37);
  const auto [image0, image1] = testing::ShiftedPair(32, 26, 3, 1, rng);
  const StereoMatcher sadOne = ComputeL0For(image0, image1, -2, 8, 1, 0.96f, 1);
  const StereoMatcher sadTwo = ComputeL0For(image0, image1, -2, 8, 1, 0.96f, 2);
  EXPECT_EQ(testing::FirstDifference(*sadOne.L0(), *sadTwo.L0()), -1);

  const StereoMatcher low = ComputeL0For(image0, image1, -2, 8, 1, 0.2f, 0);
  const StereoMatcher high = ComputeL0For(image0, image1, -2, 8, 1, 0.99f, 0);
  EXPECT_EQ(testing::FirstDifference(*low.L0(), *high.L0()), -1);
}

TEST(InitialMatchValues, RefusesInputsThatDoNotFitTheVolumes) {
  const FloatArray image = Filled(20, 20, 1, 1.0f);
  StereoMatcher empty;
  EXPECT_THROW(empty.ComputeL0(image, image, 1, 0.96f, testing::CostOf(1)), std::logic_error);

  StereoMatcher m = MatcherWithGrids(20, 20, 8, 0);
  const FloatArray narrow = Filled(19, 20, 1, 1.0f);
  EXPECT_THROW(m.ComputeL0(narrow, narrow, 1, 0.96f, testing::CostOf(1)), std::invalid_argument);
  EXPECT_THROW(m.ComputeL0(image, image, 8, 0.96f, testing::CostOf(1)), std::invalid_argument);
  EXPECT_THROW(m.ComputeL0(image, image, -1, 0.96f, testing::CostOf(1)), std::invalid_argument);

  const FloatArray tiny = Filled(2, 2, 1, 1.0f);
  EXPECT_THROW(m.ComputeL0(image, tiny, 1, 0.96f, testing::CostOf(0)), std::invalid_argument);
  EXPECT_THROW(m.ComputeL0(image, Filled(20, 20, 3, 1.0f), 1, 0.96f, testing::CostOf(0)),
               std::invalid_argument);

  // The reference itself reads image 1 only where it exists: a tiny one reads
  // as 0 beyond its edge.
  FloatArray l0(20, 20, 8), ln(20, 20, 8);
  StageGrids grids = testing::GridsLike(m, l0, ln);
  reference::ComputeL0(grids, image, tiny, 1, 0.96f, MatchCost::Correlation);
  EXPECT_EQ(l0.At(10, 10, 4), kFloor);
}

}  // namespace
}  // namespace tavrel
