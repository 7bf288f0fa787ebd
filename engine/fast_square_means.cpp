#include "engine/fast_square_means.h"

#include <algorithm>

namespace tavrel::fast {
namespace {

// The window mean stored by the box filter: its exact sum, held as a float,
// divided by the window's cell count. Sums of squares are never negative, and
// the lanes near the valid region's edges hold many empty windows: 0 / w is
// +0 without a division.
float MeanOf(double sum, float w) {
  if (sum == 0.0) return 0.0f;
  return static_cast<float>(static_cast<double>(static_cast<float>(sum)) / w);
}

// Column sums of the squares of one band over the valid rows i - r .. i + r,
// 0 outside the valid columns. Image 1 may be wider than image 0.
void ColumnSums(const FloatArray& image, const Geometry& g, int i, int b, float* out) {
  std::fill_n(out, g.columns, 0.0f);
  const int first = std::max(i - g.radius, kValidFirst);
  const int last = std::min(i + g.radius, g.rows - kValidFirst);
  for (int c = kValidFirst; c <= g.columns - kValidFirst; ++c) {
    double sum = 0.0;
    for (int j = first; j <= last; ++j) {
      const double v = image.data()[image.Index(j, c, b)];
      sum += v * v;
    }
    out[c] = static_cast<float>(sum);
  }
}

// Box means of the full windows of columns r .. columns - r - 1.
void WindowMeans(const float* columnSums, const Geometry& g, float w, float* out) {
  const int r = g.radius;
  for (int c = r; c < g.columns - r; ++c) {
    double sum = 0.0;
    for (int x = c - r; x <= c + r; ++x) sum += columnSums[x];
    out[c] = MeanOf(sum, w);
  }
}

}  // namespace

SquareMeans::SquareMeans(const Geometry& g, ThreadArena& arena) : g_(g) {
  const double side = 2.0 * g.radius + 1.0;
  w_ = static_cast<float>(side * side);
  const std::size_t plane = static_cast<std::size_t>(g.bands) * g.columns;
  columnA_ = arena.Take<float>(plane);
  columnV_ = arena.Take<float>(plane);
  meanA_ = arena.Take<float>(plane);
  meanV_ = arena.Take<float>(plane);
}

std::size_t SquareMeans::Bytes(const Geometry& g) {
  return 4 * ThreadArena::Bytes<float>(static_cast<std::size_t>(g.bands) * g.columns);
}

void SquareMeans::Row(const FloatArray& image0, const FloatArray& image1, int i) {
  const int r = g_.radius;
  innerRow_ = g_.rows >= 2 * r + 1 && g_.columns >= 2 * r + 1 && i >= r && i <= g_.rows - r - 1;
  if (!innerRow_) return;
  for (int b = 0; b < g_.bands; ++b) {
    const std::size_t at = static_cast<std::size_t>(b) * g_.columns;
    ColumnSums(image0, g_, i, b, columnA_ + at);
    ColumnSums(image1, g_, i, b, columnV_ + at);
    WindowMeans(columnA_ + at, g_, w_, meanA_ + at);
    WindowMeans(columnV_ + at, g_, w_, meanV_ + at);
  }
}

SquareMeans::Lanes SquareMeans::ForBlock(int k0) const {
  const std::int64_t d0 = static_cast<std::int64_t>(g_.minDisparity) + k0;
  const std::int64_t last = d0 + kLanes - 1;
  const std::int64_t reach = kValidFirst + g_.radius;
  // Every column of the window and its shift by each lane's index valid.
  std::int64_t first = std::max(reach, reach - d0);
  std::int64_t end = std::min(g_.columns - reach, g_.columns - reach - last);
  if (!innerRow_) {
    first = 1;
    end = 0;
  }
  const std::int64_t firstFull = std::clamp<std::int64_t>(first, 0, g_.columns);
  const std::int64_t lastFull = std::clamp<std::int64_t>(end, firstFull - 1, g_.columns - 1);
  return {this, d0, static_cast<int>(firstFull), static_cast<int>(lastFull)};
}

void SquareMeans::EdgeLanes(int b, int c, std::int64_t d0, float* aa, float* vv) const {
  const int r = g_.radius;
  if (!innerRow_ || c < r || c > g_.columns - r - 1) {
    // The box filter leaves such cells their own moments, 0 outside the
    // valid region, where all of them lie.
    std::fill_n(aa, kLanes, 0.0f);
    std::fill_n(vv, kLanes, 0.0f);
    return;
  }
  const std::size_t plane = static_cast<std::size_t>(b) * g_.columns;
  const float* columnA = columnA_ + plane;
  const float* columnV = columnV_ + plane;
  const std::int64_t lastValid = g_.columns - kValidFirst;
  // The lanes whose shifted window lies wholly in the valid region, when the
  // pixel's own window does too, take the shared means.
  int sharedFirst = kLanes;
  int sharedLast = kLanes - 1;
  if (c - r >= kValidFirst && c + r <= lastValid) {
    sharedFirst = static_cast<int>(std::clamp<std::int64_t>(kValidFirst + r - c - d0, 0, kLanes));
    sharedLast = static_cast<int>(
        std::clamp<std::int64_t>(lastValid - r - c - d0, sharedFirst - 1, kLanes - 1));
  }
  for (int lane = sharedFirst; lane <= sharedLast; ++lane) {
    aa[lane] = meanA_[plane + c];
    vv[lane] = meanV_[plane + c + d0 + lane];
  }
  auto summed = [&](int lane) {
    // The columns x of the window whose shift x + d counts, and of those the
    // ones that count themselves: image 1's terms.
    const std::int64_t d = d0 + lane;
    const std::int64_t lo = std::max<std::int64_t>(c - r, kValidFirst - d);
    const std::int64_t hi = std::min<std::int64_t>(c + r, lastValid - d);
    double sumA = 0.0;
    for (std::int64_t x = lo; x <= hi; ++x) sumA += columnA[x];
    double sumV = 0.0;
    const std::int64_t end = std::min<std::int64_t>(hi, lastValid);
    for (std::int64_t x = std::max<std::int64_t>(lo, kValidFirst); x <= end; ++x) {
      sumV += columnV[x + d];
    }
    aa[lane] = MeanOf(sumA, w_);
    vv[lane] = MeanOf(sumV, w_);
  };
  for (int lane = 0; lane < sharedFirst; ++lane) summed(lane);
  for (int lane = sharedLast + 1; lane < kLanes; ++lane) summed(lane);
}

}  // namespace tavrel::fast
