// The result maps as grey levels: the scale of the disparities, the capped
// confidences, and the refusals.

#include <gtest/gtest.h>

#include <stdexcept>

#include "display/result_maps.h"
#include "engine/stereo_matcher.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

using testing::MatcherWithGrids;

TEST(DisparityDisplay, ScalesTheRangeTo255WithoutClamping) {
  StereoMatcher matcher = MatcherWithGrids(1, 3, 27, -3);  // MaxDisparity 24
  matcher.DispConf->At(0, 0, 0) = 10.5f;
  matcher.DispConf->At(0, 1, 0) = -3.0f;
  matcher.DispConf->At(0, 2, 0) = 30.0f;
  DisparityToDisplay(matcher);
  // The scale 255/27 is rounded to float first: 0x1.2e38e4p+3. Times 13.5 it
  // is 127.50000286 and rounds to 127.5; times 33, 311.6666708, it rounds to
  // 0x1.37aaacp+8, not to 0x1.37aaaap+8, the float nearest 33 * 255 / 27.
  EXPECT_EQ(matcher.DisplayMap->At(0, 0, 0), 127.5f);
  EXPECT_EQ(matcher.DisplayMap->At(0, 1, 0), 0.0f);
  EXPECT_EQ(matcher.DisplayMap->At(0, 2, 0), 0x1.37aaacp+8f);  // above 255
}

TEST(DisparityDisplay, ConfidenceScaleIsCappedAboveOnly) {
  StereoMatcher matcher = MatcherWithGrids(1, 4, 5, 0);
  const float confidences[] = {0.01f, 0.1f, 0.0f, -0.01f};
  for (int c = 0; c < 4; ++c) matcher.DispConf->At(0, c, 1) = confidences[c];
  ConfidenceToDisplay(matcher);
  EXPECT_EQ(matcher.DisplayMap->At(0, 0, 0), 40.0f);
  EXPECT_EQ(matcher.DisplayMap->At(0, 1, 0), 255.0f);
  EXPECT_EQ(matcher.DisplayMap->At(0, 2, 0), 0.0f);
  EXPECT_EQ(matcher.DisplayMap->At(0, 3, 0), -40.0f);
}

TEST(DisparityDisplay, RefusesToWorkWithoutMapsOrWithAnEmptyRange) {
  StereoMatcher empty;
  EXPECT_THROW(DisparityToDisplay(empty), std::logic_error);
  EXPECT_THROW(ConfidenceToDisplay(empty), std::logic_error);

  StereoMatcher matcher = MatcherWithGrids(2, 2, 4, 0);
  matcher.MaxDisparity = matcher.MinDisparity;
  EXPECT_THROW(DisparityToDisplay(matcher), std::logic_error);
}

}  // namespace
}  // namespace tavrel
