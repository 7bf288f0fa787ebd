// The result maps as grey levels: the scale of the disparities, the capped
// confidences, and the refusals.

#include <gtest/gtest.h>

#include <stdexcept>

#include "display/result_maps.h"
#include "engine/stereo_matcher.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

using testing::MatcherWithResults;

TEST(DisparityDisplay, ScalesTheRangeTo255WithoutClamping) {
  FloatArray maps = testing::Filled(3, 1, 2, 0.0f);
  maps.At(0, 0, 0) = 10.5f;
  maps.At(0, 1, 0) = -3.0f;
  maps.At(0, 2, 0) = 30.0f;
  StereoMatcher matcher = MatcherWithResults(std::move(maps), 27, -3);  // MaxDisparity 24
  DisparityToDisplay(matcher);
  // The scale 255/27 is rounded to float first: 0x1.2e38e4p+3. Times 13.5 it
  // is 127.50000286 and rounds to 127.5; times 33, 311.6666708, it rounds to
  // 0x1.37aaacp+8, not to 0x1.37aaaap+8, the float nearest 33 * 255 / 27.
  EXPECT_EQ(matcher.DisplayMap()->At(0, 0, 0), 127.5f);
  EXPECT_EQ(matcher.DisplayMap()->At(0, 1, 0), 0.0f);
  EXPECT_EQ(matcher.DisplayMap()->At(0, 2, 0), 0x1.37aaacp+8f);  // above 255
}

TEST(DisparityDisplay, ConfidenceScaleIsCappedAboveOnly) {
  FloatArray maps = testing::Filled(4, 1, 2, 0.0f);
  const float confidences[] = {0.01f, 0.1f, 0.0f, -0.01f};
  for (int c = 0; c < 4; ++c) maps.At(0, c, 1) = confidences[c];
  StereoMatcher matcher = MatcherWithResults(std::move(maps), 5, 0);
  ConfidenceToDisplay(matcher);
  EXPECT_EQ(matcher.DisplayMap()->At(0, 0, 0), 40.0f);
  EXPECT_EQ(matcher.DisplayMap()->At(0, 1, 0), 255.0f);
  EXPECT_EQ(matcher.DisplayMap()->At(0, 2, 0), 0.0f);
  EXPECT_EQ(matcher.DisplayMap()->At(0, 3, 0), -40.0f);
}

TEST(DisparityDisplay, RefusesToWorkWithoutMapsOrWithAnEmptyRange) {
  StereoMatcher empty;
  EXPECT_THROW(DisparityToDisplay(empty), std::logic_error);
  EXPECT_THROW(ConfidenceToDisplay(empty), std::logic_error);

  // An empty range never reaches the maps: the matcher refuses it and
  // holds none.
  StereoMatcher matcher;
  EXPECT_THROW(matcher.Prepare(2, 2, testing::RangeParams(0, 0)), std::invalid_argument);
  EXPECT_THROW(DisparityToDisplay(matcher), std::logic_error);
}

}  // namespace
}  // namespace tavrel
