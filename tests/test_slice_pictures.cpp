#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "display/slice_pictures.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

constexpr float kUntouched = 77.0f;

using Planting = std::function<void(FloatArray& l0, FloatArray& ln)>;

// A matcher as a run leaves it, for the slice tests: volumes of rows x columns x
// disparities holding 0 but where `plant` sets values, DisplayMap holding kUntouched.
StereoMatcher MakeMatcher(int rows, int columns, int disparities, const Planting& plant) {
  FloatArray l0 = testing::Filled(columns, rows, disparities, 0.0f);
  FloatArray ln = testing::Filled(columns, rows, disparities, 0.0f);
  plant(l0, ln);
  StereoMatcher matcher = testing::MatcherWithVolumes(std::move(l0), std::move(ln), 0);
  matcher.DisplayMapForWriting().Fill(kUntouched);
  return matcher;
}

TEST(SlicePictures, EachDisparityTakesTwoRowsAndLowerRowsKeepTheirPicture) {
  StereoMatcher matcher = MakeMatcher(20, 6, 4, [](FloatArray& l0, FloatArray&) {
    for (int c = 0; c < 6; ++c) {
      for (int d = 0; d < 4; ++d) l0.Set(5, c, d, 0.1f * static_cast<float>(d + c));
    }
  });
  L0SliceToDisplay(matcher, 5, 2);
  const FloatArray& picture = *matcher.DisplayMap();
  for (int c = 0; c < 6; ++c) {
    for (int d = 0; d < 4; ++d) {
      const float expected = static_cast<float>(static_cast<double>(0.1f * (d + c)) * 255.0);
      EXPECT_EQ(picture.At(2 * d, c, 0), expected) << "d " << d << " c " << c;
      EXPECT_EQ(picture.At(2 * d + 1, c, 0), expected) << "d " << d << " c " << c;
    }
    for (int r = 8; r < 20; ++r) EXPECT_EQ(picture.At(r, c, 0), kUntouched);
  }
}

TEST(SlicePictures, DisparitiesBeyondThePictureAreDropped) {
  // 40 disparities need 80 picture rows; an image of 60 rows shows indices 0 to 29.
  StereoMatcher matcher = MakeMatcher(60, 3, 40, [](FloatArray& l0, FloatArray&) {
    for (int d = 0; d < 40; ++d) l0.Set(7, 1, d, static_cast<float>(d) / 255.0f);
  });
  L0SliceToDisplay(matcher, 7, 2);
  EXPECT_FLOAT_EQ(matcher.DisplayMap()->At(0, 1, 0), 0.0f);
  EXPECT_FLOAT_EQ(matcher.DisplayMap()->At(58, 1, 0), 29.0f);
  EXPECT_FLOAT_EQ(matcher.DisplayMap()->At(59, 1, 0), 29.0f);
}

TEST(SlicePictures, GreyLevelsAreCappedAboveOnly) {
  // Ln holds values in its interior only: row 8, columns 8 .. 10, index 3.
  StereoMatcher matcher = MakeMatcher(17, 19, 7, [](FloatArray& l0, FloatArray& ln) {
    l0.Set(8, 0, 0, 1.2f);
    l0.Set(8, 1, 0, -0.5f);
    ln.Set(8, 8, 3, 0.05f);
    ln.Set(8, 9, 3, 0.07f);
    ln.Set(8, 10, 3, -0.01f);
  });

  L0SliceToDisplay(matcher, 8, 2);
  EXPECT_EQ(matcher.DisplayMap()->At(0, 0, 0), 255.0f);
  EXPECT_EQ(matcher.DisplayMap()->At(0, 1, 0), -127.5f);

  LnSliceToDisplay(matcher, 8, 2);
  EXPECT_EQ(matcher.DisplayMap()->At(7, 8, 0), static_cast<float>(0.05f * 4000.0));
  EXPECT_EQ(static_cast<int>(matcher.DisplayMap()->At(7, 8, 0)), 200);
  EXPECT_EQ(matcher.DisplayMap()->At(7, 9, 0), 255.0f);
  EXPECT_EQ(matcher.DisplayMap()->At(7, 10, 0), static_cast<float>(-0.01f * 4000.0));
}

TEST(SlicePictures, RowsOutsideTheVolume) {
  StereoMatcher matcher = MakeMatcher(10, 4, 3, [](FloatArray& l0, FloatArray&) { l0.Fill(0.5f); });

  // At or below the last row: the picture is left alone.
  L0SliceToDisplay(matcher, 10, 2);
  L0SliceToDisplay(matcher, 500, 2);
  for (int r = 0; r < 10; ++r) EXPECT_EQ(matcher.DisplayMap()->At(r, 2, 0), kUntouched);

  // Above the first row: every value read is 0.
  L0SliceToDisplay(matcher, -3, 2);
  for (int r = 0; r < 6; ++r) EXPECT_EQ(matcher.DisplayMap()->At(r, 2, 0), 0.0f);
  EXPECT_EQ(matcher.DisplayMap()->At(6, 2, 0), kUntouched);
}

TEST(SlicePictures, EmptyMatcherIsLeftAlone) {
  StereoMatcher empty;
  L0SliceToDisplay(empty, 0, 2);
  LnSliceToDisplay(empty, 0, 2);
  EXPECT_EQ(empty.DisplayMap(), nullptr);
}

}  // namespace
}  // namespace tavrel
