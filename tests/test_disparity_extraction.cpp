#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

#include "engine/reference_engine.h"
#include "engine/stereo_matcher.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

using testing::Bits;
using testing::MatcherWithGrids;

// One pixel whose match values run from index 0 upwards.
TEST(DisparityExtraction, PeakInterpolationTiesAndColumnsWithoutAPeak) {
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
    StereoMatcher matcher = MatcherWithGrids(1, 1, count, c.minDisparity);
    for (int d = 0; d < count; ++d) matcher.Ln->At(0, 0, d) = c.values[d];
    reference::ExtractDispConf(matcher);
    EXPECT_EQ(matcher.DispConf->At(0, 0, 0), c.disparity) << ::testing::PrintToString(c.values);
    EXPECT_EQ(Bits(matcher.DispConf->At(0, 0, 1)), Bits(c.confidence))
        << ::testing::PrintToString(c.values);
  }
}

// The strongest local maximum found by a second, independent reading of the
// rule: collect every local maximum above -1, keep the largest, the first on
// ties.
TEST(DisparityExtraction, AgreesWithADirectSearchOnRandomColumns) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> level(-3, 4);
  const int rows = 6, columns = 7, count = 9, minDisparity = -2;
  StereoMatcher matcher = MatcherWithGrids(rows, columns, count, minDisparity);
  for (std::size_t i = 0; i < matcher.Ln->size(); ++i) {
    matcher.Ln->data()[i] = static_cast<float>(level(rng)) * 0.25f;
  }
  reference::ExtractDispConf(matcher);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      auto v = [&](int d) { return static_cast<double>(matcher.Ln->At(r, c, d)); };
      int chosen = -1;
      for (int d = 1; d <= count - 2; ++d) {
        const bool localMax = v(d) >= v(d - 1) && v(d) >= v(d + 1) && v(d) > -1.0;
        if (localMax && (chosen < 0 || v(d) > v(chosen))) chosen = d;
      }
      double disparity = minDisparity, confidence = 0.0;
      if (chosen >= 0) {
        const double prev = v(chosen - 1), cur = v(chosen), next = v(chosen + 1);
        confidence = next + cur + prev;
        if (prev < next) {
          disparity += chosen + (cur == prev ? 0.0 : 0.5 * (next - prev) / (cur - prev));
        } else {
          disparity += chosen - (cur == next ? 0.0 : 0.5 * (prev - next) / (cur - next));
        }
      }
      EXPECT_EQ(matcher.DispConf->At(r, c, 0), static_cast<float>(disparity)) << r << ", " << c;
      EXPECT_EQ(matcher.DispConf->At(r, c, 1), static_cast<float>(confidence)) << r << ", " << c;
    }
  }
}

TEST(DisparityDisplay, ScalesTheRangeTo255WithoutClamping) {
  StereoMatcher matcher = MatcherWithGrids(1, 3, 27, -3);  // MaxDisparity 24
  matcher.DispConf->At(0, 0, 0) = 10.5f;
  matcher.DispConf->At(0, 1, 0) = -3.0f;
  matcher.DispConf->At(0, 2, 0) = 30.0f;
  reference::DisparityToDisplay(matcher);
  const float scale = static_cast<float>(255.0 / 27.0);
  EXPECT_EQ(matcher.DisplayMap->At(0, 0, 0), static_cast<float>(13.5 * scale));
  EXPECT_NEAR(matcher.DisplayMap->At(0, 0, 0), 127.5f, 1e-4f);
  EXPECT_EQ(matcher.DisplayMap->At(0, 1, 0), 0.0f);
  EXPECT_EQ(matcher.DisplayMap->At(0, 2, 0), static_cast<float>(33.0 * scale));  // above 255
}

TEST(DisparityDisplay, ConfidenceScaleIsCappedAboveOnly) {
  StereoMatcher matcher = MatcherWithGrids(1, 4, 5, 0);
  const float confidences[] = {0.01f, 0.1f, 0.0f, -0.01f};
  for (int c = 0; c < 4; ++c) matcher.DispConf->At(0, c, 1) = confidences[c];
  reference::ConfidenceToDisplay(matcher);
  EXPECT_EQ(matcher.DisplayMap->At(0, 0, 0), 40.0f);
  EXPECT_EQ(matcher.DisplayMap->At(0, 1, 0), 255.0f);
  EXPECT_EQ(matcher.DisplayMap->At(0, 2, 0), 0.0f);
  EXPECT_EQ(matcher.DisplayMap->At(0, 3, 0), -40.0f);
}

TEST(DisparityDisplay, RefusesToWorkWithoutGridsOrWithAnEmptyRange) {
  StereoMatcher empty;
  EXPECT_THROW(empty.ExtractDispConf(), std::logic_error);
  EXPECT_THROW(empty.DisparityToDisplay(), std::logic_error);
  EXPECT_THROW(empty.ConfidenceToDisplay(), std::logic_error);

  StereoMatcher matcher = MatcherWithGrids(2, 2, 4, 0);
  matcher.MaxDisparity = matcher.MinDisparity;
  EXPECT_THROW(matcher.DisparityToDisplay(), std::logic_error);
}

}  // namespace
}  // namespace tavrel
