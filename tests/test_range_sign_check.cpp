#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#include "engine/stereo_matcher.h"
#include "files/range_sign_check.h"
#include "imageio/image_loading.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

// A disparity plane whose margin pixels hold MinDisparity + 1, as every job
// leaves them, and whose interior pixels hold `interior` for the first
// `atEnds` of them (row by row) and the range's middle for the rest.
FloatArray Plane(const RangeGeometry& range, int columns, int rows, float interior, int atEnds) {
  FloatArray plane(columns, rows, 2);
  const float middle = 0.5f * static_cast<float>(range.MinDisparity + range.MaxDisparity);
  int seen = 0;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      const bool inside = r >= kPixelMargin && r < rows - kPixelMargin && c >= kPixelMargin &&
                          c < columns - kPixelMargin;
      float value = static_cast<float>(range.MinDisparity + 1);
      if (inside) value = seen++ < atEnds ? interior : middle;
      plane.At(r, c, 0) = value;
      plane.At(r, c, 1) = 0.0f;
    }
  }
  return plane;
}

// Matches lie at disparities 11 to 44 of the range 8 .. 48, so each end is
// 33 / 8 pixels wide: below 15.125 or above 39.875. "Most" is more than half of
// the interior pixels.
TEST(RangeSignCheck, CountsInteriorPixelsAtTheEnds) {
  const RangeGeometry range{8, 48};
  constexpr int kColumns = 26, kRows = 20;  // 10 x 4 interior pixels
  EXPECT_FALSE(MostDisparitiesAtRangeEnds(Plane(range, kColumns, kRows, 9.0f, 0), range))
      << "the margins, all at MinDisparity + 1, do not count";
  EXPECT_FALSE(MostDisparitiesAtRangeEnds(Plane(range, kColumns, kRows, 9.0f, 20), range))
      << "half is not most";
  for (float end : {9.0f, 11.0f, 15.1f, 39.9f, 44.5f}) {
    EXPECT_TRUE(MostDisparitiesAtRangeEnds(Plane(range, kColumns, kRows, end, 21), range)) << end;
  }
  for (float inside : {15.2f, 28.0f, 39.8f}) {
    EXPECT_FALSE(MostDisparitiesAtRangeEnds(Plane(range, kColumns, kRows, inside, 40), range))
        << inside;
  }
}

TEST(RangeSignCheck, GivesNoVerdictWithoutInteriorOrRoomBetweenTheEnds) {
  const RangeGeometry narrow{0, 14};  // matches at disparities 3 to 10 only
  EXPECT_FALSE(MostDisparitiesAtRangeEnds(Plane(narrow, 26, 20, 1.0f, 40), narrow));
  const RangeGeometry wide{0, 15};
  EXPECT_TRUE(MostDisparitiesAtRangeEnds(Plane(wide, 26, 20, 1.0f, 40), wide));
  EXPECT_FALSE(MostDisparitiesAtRangeEnds(Plane(wide, 16, 30, 1.0f, 0), wide))
      << "no interior column";
}

// A flat scene at disparity -10, as a left reference image gives it, run with
// ranges of the right sign and with their mirrors. The texture is random but
// smooth along the rows, as real scenes mostly are: a wrong-sign run then
// takes the shifts nearest 0 for the best matches.
class RangeSignOfARealJob : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(7);
    const FloatArray noise =
        testing::RandomIntegers(kColumns + kShift + 2 * kSmoothing, kRows, 1, 0, 255, rng);
    FloatArray texture(kColumns + kShift, kRows, 1);
    for (int r = 0; r < kRows; ++r) {
      for (int c = 0; c < texture.columns(); ++c) {
        double sum = 0.0;
        for (int k = 0; k <= 2 * kSmoothing; ++k) sum += noise.At(r, c + k, 0);
        texture.At(r, c, 0) = static_cast<float>(std::round(sum / (2 * kSmoothing + 1)));
      }
    }
    for (int r = 0; r < kRows; ++r) {
      for (int c = 0; c < kColumns; ++c) {
        image0_.At(r, c, 0) = texture.At(r, c, 0);
        image1_.At(r, c, 0) = texture.At(r, c + kShift, 0);
      }
    }
  }

  std::optional<std::string> WarningFor(int minDisparity, int maxDisparity) {
    StereoMatcher matcher;
    matcher.Run(image0_, image1_,
                testing::ParamsOf(minDisparity, maxDisparity, 1, 2, 1, 10, 0.96f, 1));
    return RangeSignWarning(*matcher.DispConf(), {minDisparity, maxDisparity});
  }

  static constexpr int kColumns = 96, kRows = 40, kShift = 10, kSmoothing = 8;
  FloatArray image0_{kColumns, kRows, 1};
  FloatArray image1_{kColumns, kRows, 1};
};

TEST_F(RangeSignOfARealJob, WarnsForTheWrongSignOnly) {
  EXPECT_EQ(WarningFor(-22, 0), std::nullopt);
  EXPECT_EQ(WarningFor(-30, -2), std::nullopt);
  const auto warning = WarningFor(1, 23);
  ASSERT_TRUE(warning.has_value());
  EXPECT_EQ(warning->rfind("most disparities lie at the ends of the range; is its sign right? ", 0),
            0u);
  EXPECT_NE(warning->find("MinDisparity -22, MaxDisparity 0"), std::string::npos) << *warning;
  EXPECT_TRUE(WarningFor(3, 31).has_value());
}

// The Middlebury pairs of the shared data, left view as image 0, with their
// negative ranges and with those ranges' signs turned (SAD, as their
// directions files run them).
TEST(RangeSignOfRealScenes, WarnsForTheWrongSignOnly) {
  struct Scene {
    const char* name;
    int minDisparity;
    int maxDisparity;
  };
  for (const Scene& scene : {Scene{"teddy", -56, -8}, Scene{"cones", -58, -1}}) {
    const auto folder = std::filesystem::path(TAVREL_SHARED_DATA_DIR) / scene.name;
    if (!std::filesystem::exists(folder / "left.bmp")) GTEST_SKIP() << "no shared data";
    SCOPED_TRACE(scene.name);
    const auto left = LoadImageGrid((folder / "left.bmp").string(), 3);
    const auto right = LoadImageGrid((folder / "right.bmp").string(), 3);
    ASSERT_TRUE(left && right);
    auto warningFor = [&](int minDisparity, int maxDisparity) {
      StereoMatcher matcher;
      matcher.Run(*left, *right,
                  testing::ParamsOf(minDisparity, maxDisparity, 1, 2, 1, 10, 0.96f, 1));
      return RangeSignWarning(*matcher.DispConf(), {minDisparity, maxDisparity});
    };
    EXPECT_EQ(warningFor(scene.minDisparity, scene.maxDisparity), std::nullopt);
    EXPECT_TRUE(warningFor(-scene.maxDisparity, -scene.minDisparity).has_value());
  }
}

}  // namespace
}  // namespace tavrel
