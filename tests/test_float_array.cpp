#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/float_array.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

using testing::Bits;
using testing::Copy;
using testing::DirectBoxMean;
using testing::DirectBoxSum;
using testing::Filled;
using testing::FirstDifference;

struct Shape {
  int columns, rows;
};
const std::vector<Shape> kShapes = {{1, 1}, {2, 5}, {3, 3}, {5, 2}, {7, 9}, {12, 10}, {16, 16}};

TEST(FloatArrayAccess, GetAndSetAreGuardedOnEveryIndex) {
  FloatArray grid = Filled(4, 3, 2, 7.0f);
  for (const auto& [row, column, band] : std::vector<std::array<int, 3>>{
           {-1, 0, 0}, {3, 0, 0}, {0, -1, 0}, {0, 4, 0}, {0, 0, -1}, {0, 0, 2}}) {
    EXPECT_EQ(grid.Get(row, column, band), 0.0f);
    grid.Set(row, column, band, 99.0f);
  }
  for (std::size_t i = 0; i < grid.size(); ++i) EXPECT_EQ(grid.data()[i], 7.0f);

  grid.Set(2, 3, 1, 5.0f);
  EXPECT_EQ(grid.Get(2, 3, 1), 5.0f);
  EXPECT_EQ(grid.data()[(4 * 2 + 3) * 2 + 1], 5.0f);
}

TEST(FloatArrayCreation, RefusesNegativeSizesUnrepresentableOnesAndNegativeRadii) {
  EXPECT_THROW(FloatArray(-1, 2, 2), std::invalid_argument);
  EXPECT_THROW(FloatArray(2, -1, 2), std::invalid_argument);
  EXPECT_THROW(FloatArray(2, 2, -1), std::invalid_argument);
  EXPECT_THROW(FloatArray(INT_MAX, INT_MAX, INT_MAX), std::bad_alloc);

  FloatArray grid = Filled(5, 5, 1, 1.0f);
  EXPECT_THROW(grid.BoxSum(-1), std::invalid_argument);
  EXPECT_THROW(grid.BoxMean(-1), std::invalid_argument);
  for (std::size_t i = 0; i < grid.size(); ++i) EXPECT_EQ(grid.data()[i], 1.0f);

  FloatArray empty(0, 5, 3);
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.Get(0, 0, 0), 0.0f);
  empty.BoxSum(1);
  empty.BoxMean(0);
}

TEST(FloatArrayCreation, MovedFromGridIsEmptyAndSafe) {
  FloatArray source = Filled(3, 3, 1, 2.0f);
  FloatArray target = std::move(source);
  EXPECT_EQ(target.Get(1, 1, 0), 2.0f);
  EXPECT_EQ(source.size(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(source.Get(1, 1, 0), 0.0f);
  source.Set(1, 1, 0, 1.0f);

  FloatArray other = Filled(2, 2, 1, 1.0f);
  other = std::move(target);
  EXPECT_EQ(other.rows(), 3);
  EXPECT_EQ(target.rows(), 0);
}

// A new shape goes over the same storage when that holds it; a larger or
// negative one changes nothing.
TEST(FloatArrayCreation, ReshapeKeepsTheStorageWhenItHoldsTheNewShape) {
  FloatArray grid(6, 5, 4);
  const float* storage = grid.data();
  EXPECT_EQ(grid.capacity(), 120u);
  EXPECT_TRUE(grid.Reshape(4, 5, 3));
  EXPECT_EQ(grid.data(), storage);
  EXPECT_EQ(grid.columns(), 4);
  EXPECT_EQ(grid.rows(), 5);
  EXPECT_EQ(grid.bands(), 3);
  EXPECT_EQ(grid.size(), 60u);
  EXPECT_EQ(grid.capacity(), 120u);
  grid.Set(4, 3, 2, 1.0f);
  EXPECT_EQ(grid.Get(4, 3, 2), 1.0f);
  EXPECT_EQ(grid.Get(4, 4, 0), 0.0f);  // outside the new shape, inside the storage

  EXPECT_TRUE(grid.Reshape(6, 5, 4));
  for (const auto& [columns, rows, bands] : std::vector<std::array<int, 3>>{
           {7, 5, 4}, {6, 5, 5}, {-1, 5, 4}, {6, -5, 4}, {INT_MAX, INT_MAX, 2}}) {
    EXPECT_FALSE(grid.Reshape(columns, rows, bands));
    EXPECT_EQ(grid.size(), 120u);
    EXPECT_EQ(grid.columns(), 6);
  }
  FloatArray moved = std::move(grid);
  EXPECT_EQ(grid.capacity(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(moved.capacity(), 120u);
}

TEST(FloatArrayBoxSum, MatchesDirectWindowSumsOnWholeNumbers) {
  std::mt19937 rng(1);
  for (const Shape shape : kShapes) {
    for (int bands : {1, 3}) {
      for (int radius = 0; radius <= 4; ++radius) {
        const FloatArray input =
            testing::RandomIntegers(shape.columns, shape.rows, bands, -50, 50, rng);
        FloatArray sum = Copy(input);
        sum.BoxSum(radius);
        EXPECT_EQ(FirstDifference(sum, DirectBoxSum(input, radius)), -1)
            << shape.columns << " x " << shape.rows << " x " << bands << ", radius " << radius;
        FloatArray mean = Copy(input);
        mean.BoxMean(radius);
        EXPECT_EQ(FirstDifference(mean, DirectBoxMean(input, radius)), -1)
            << shape.columns << " x " << shape.rows << " x " << bands << ", radius " << radius;
      }
    }
  }
}

TEST(FloatArrayBoxSum, StaysCloseToDirectSumsOnFractions) {
  std::mt19937 rng(2);
  const FloatArray input = testing::RandomFloats(23, 19, 2, 0.0f, 1.0f, rng);
  for (int radius = 0; radius <= 7; ++radius) {
    FloatArray sum = Copy(input);
    sum.BoxSum(radius);
    const FloatArray direct = DirectBoxSum(input, radius);
    for (std::size_t i = 0; i < sum.size(); ++i) {
      ASSERT_NEAR(sum.data()[i], direct.data()[i], 1e-4) << "radius " << radius << " cell " << i;
    }
  }
}

TEST(FloatArrayBoxSum, RunningSumIsDoubleAndCarriesItsRounding) {
  // Three columns, the outer two zero: the middle column's sums pass through
  // the row pass unchanged.
  FloatArray big(3, 3, 1);
  big.Fill(0.0f);
  big.At(0, 1, 0) = 16777216.0f;  // 2^24: a float sum would drop the ones
  big.At(1, 1, 0) = 1.0f;
  big.At(2, 1, 0) = 1.0f;
  big.BoxSum(1);
  EXPECT_EQ(big.At(1, 1, 0), 16777218.0f);

  // A value too large for the ones beside it swamps them while it is in the
  // window, and the running sum does not recover them when it leaves.
  FloatArray swamp(3, 6, 1);
  swamp.Fill(0.0f);
  const float huge = 1e30f;
  const float column[] = {0.0f, huge, 1.0f, 1.0f, 1.0f, 1.0f};
  for (int i = 0; i < 6; ++i) swamp.At(i, 1, 0) = column[i];
  swamp.BoxSum(1);
  EXPECT_EQ(swamp.At(1, 1, 0), huge);
  EXPECT_EQ(swamp.At(2, 1, 0), huge);
  EXPECT_EQ(swamp.At(3, 1, 0), 1.0f);  // a direct sum would give 3
  EXPECT_EQ(swamp.At(4, 1, 0), 1.0f);

  // Radius 0 must leave even a 1e30 beside small values untouched: the
  // running sum subtracts the leaving value before adding the entering one.
  std::mt19937 rng(3);
  FloatArray input = testing::RandomFloats(6, 5, 1, 0, 1, rng);
  input.At(2, 2, 0) = 1e30f;
  FloatArray sum = Copy(input);
  sum.BoxSum(0);
  EXPECT_EQ(FirstDifference(sum, input), -1);
}

TEST(FloatArrayBoxSum, HeightOfOneWindowWritesOnlyTheMiddleRow) {
  FloatArray grid(7, 5, 1);  // 5 rows = 2 * 2 + 1
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 7; ++j) grid.At(i, j, 0) = static_cast<float>(10 * i + j);
  }
  const FloatArray before = Copy(grid);
  grid.BoxSum(2);
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 7; ++j) {
      if (i == 2 && j >= 2 && j <= 4) continue;
      EXPECT_EQ(grid.At(i, j, 0), before.At(i, j, 0)) << i << ", " << j;
    }
  }
  // Row 2, column 3: the whole-column sums 100 + 5j of columns 2 to 4 and the
  // input values of the edge columns 1 and 5.
  EXPECT_EQ(grid.At(2, 3, 0), 21.0f + 110.0f + 115.0f + 120.0f + 25.0f);
}

}  // namespace
}  // namespace tavrel
