#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "imageio/grey_png.h"
#include "imageio/image_loading.h"

namespace tavrel {
namespace {

// The batch run's pictures must hold the bytes the window shows: values are
// truncated and wrapped, not clamped, and what is not finite is black.
TEST(GreyPng, HoldsBandZeroAsTheWindowShowsIt) {
  const float inf = std::numeric_limits<float>::infinity();
  const float values[2][4] = {{0.0f, 255.9f, 256.0f, 300.0f},
                              {-1.0f, std::numeric_limits<float>::quiet_NaN(), inf, 17.5f}};
  const int bytes[2][4] = {{0, 255, 0, 44}, {255, 0, 0, 17}};
  FloatArray map(4, 2, 2);
  map.Fill(99.0f);
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 4; ++c) map.At(r, c, 0) = values[r][c];
  }
  const std::vector<std::uint8_t> png = EncodeGreyPng(map);
  ASSERT_GT(png.size(), 26u);
  EXPECT_EQ(png[24], 8) << "bit depth";
  EXPECT_EQ(png[25], 0) << "colour type grey";
  const Surface picture = DecodeImage(png.data(), png.size());
  ASSERT_EQ(picture.width, 4);
  ASSERT_EQ(picture.height, 2);
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 4; ++c) {
      for (int b = 0; b < 3; ++b) EXPECT_EQ(picture.Pixel(r, c)[b], bytes[r][c]) << r << "," << c;
    }
  }
  EXPECT_TRUE(EncodeGreyPng(FloatArray(0, 3, 1)).empty());
}

}  // namespace
}  // namespace tavrel
