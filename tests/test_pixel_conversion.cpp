#include <gtest/gtest.h>

#include <limits>

#include "imageio/pixel_conversion.h"

namespace tavrel {
namespace {

TEST(DisplayByte, TruncatesTowardZeroAndKeepsTheLowEightBits) {
  struct Case {
    float value;
    int byte;
  };
  const Case cases[] = {{0.0f, 0},    {127.5f, 127},  {255.0f, 255}, {255.9f, 255}, {256.0f, 0},
                        {300.0f, 44}, {-1.0f, 255},   {-0.5f, 0},    {-1.5f, 255},  {-256.0f, 0},
                        {1e10f, 0},   {-300.0f, 212}, {4097.7f, 1},  {0.999f, 0}};
  for (const auto& c : cases) EXPECT_EQ(DisplayByte(c.value), c.byte) << c.value;
  EXPECT_EQ(DisplayByte(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(DisplayByte(std::numeric_limits<float>::infinity()), 0);
  EXPECT_EQ(DisplayByte(-std::numeric_limits<float>::infinity()), 0);
}

}  // namespace
}  // namespace tavrel
