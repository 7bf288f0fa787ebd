#include <gtest/gtest.h>

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
