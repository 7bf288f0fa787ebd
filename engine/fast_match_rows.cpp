#include "engine/fast_match_rows.h"

#include <algorithm>
#include <cmath>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace tavrel::fast {
namespace {

void LoadShiftedRow(const FloatArray& image, const Geometry& g, int i, ShiftedRow& row) {
  std::fill(row.planes.begin(), row.planes.end(), 0.0f);
  if (!g.ValidRow(i)) return;
  for (std::int64_t c1 = kValidFirst; c1 <= g.columns - kValidFirst; ++c1) {
    const std::int64_t at = c1 - row.firstColumn;
    if (at < 0 || at >= static_cast<std::int64_t>(row.span)) continue;
    for (int b = 0; b < g.bands; ++b) {
      row.planes[b * row.span + at] = image.At(i, static_cast<int>(c1), b);
    }
  }
}
// The count of values in[k], k < n, that are not whole numbers from
// `lowest` to 255 (a NaN is not). The tests are combined without branches
// and counted in int over blocks, and a value in range is whole when adding
// and taking away 1.5 x 2^23 (where the spacing of floats is 1) gives it
// back: every path runs that in vectors, where trunc would need SSE4.1.
TAVREL_KERNEL std::ptrdiff_t CountNotWhole(const float* __restrict in, std::ptrdiff_t n,
                                           float lowest) {
  constexpr std::ptrdiff_t kBlock = std::ptrdiff_t{1} << 20;
  std::ptrdiff_t count = 0;
  for (std::ptrdiff_t start = 0; start < n; start += kBlock) {
    const std::ptrdiff_t end = std::min(n, start + kBlock);
    int notWhole = 0;
    for (std::ptrdiff_t k = start; k < end; ++k) {
      const float v = in[k];
      const bool inRange = (v >= lowest) & (v <= 255.0f);  // false for NaN
      const float r = inRange ? v : 0.0f;
      constexpr float kRounder = 12582912.0f;
      const bool whole = inRange & ((r + kRounder) - kRounder == r);
      notWhole += whole ? 0 : 1;
    }
    count += notWhole;
  }
  return count;
}

}  // namespace

Share ShareOf(int count) {
  int thread = 0;
  int threads = 1;
#ifdef _OPENMP
  thread = omp_get_thread_num();
  threads = omp_get_num_threads();
#endif
  return {thread, threads, static_cast<int>(static_cast<std::int64_t>(count) * thread / threads),
          static_cast<int>(static_cast<std::int64_t>(count) * (thread + 1) / threads)};
}

bool WholeIntensities(const FloatArray& image, float lowest) {
  return OnIsaPath<CountNotWhole>(image.data(), static_cast<std::ptrdiff_t>(image.size()),
                                  lowest) == 0;
}

bool ClearOutsideValid(const Geometry& g, int i, int lanes, float* row) {
  const std::size_t rowSize = static_cast<std::size_t>(g.columns) * lanes;
  const int lastValid = g.columns - kValidFirst;
  if (!g.ValidRow(i) || lastValid < kValidFirst) {
    std::fill_n(row, rowSize, 0.0f);
    return false;
  }
  std::fill_n(row, static_cast<std::size_t>(kValidFirst) * lanes, 0.0f);
  const std::size_t tail = static_cast<std::size_t>(lastValid + 1) * lanes;
  std::fill(row + tail, row + rowSize, 0.0f);
  return true;
}

RowCache::RowCache(const Geometry& g, int bands) {
  row_.firstColumn = g.minDisparity;
  row_.span = SpanOf(g);
  row_.planes.assign(row_.span * bands, 0.0f);
}

const ShiftedRow& RowCache::ImageOne(const FloatArray& image1, const Geometry& g, int i) {
  if (loaded_ != i) LoadShiftedRow(image1, g, i, row_);
  loaded_ = i;
  return row_;
}

const ShiftedRow& RowCache::MeansOfImageOne(const float* meansRow, const Geometry& g, int i) {
  if (loaded_ == i) return row_;
  const int lanes = 2 * g.bands;
  for (int b = 0; b < g.bands; ++b) {
    float* plane = row_.planes.data() + b * row_.span;
    for (int c1 = 0; c1 < g.columns; ++c1) {
      const std::int64_t at = c1 - row_.firstColumn;
      if (at >= 0 && at < static_cast<std::int64_t>(row_.span)) {
        plane[at] = meansRow[static_cast<std::size_t>(c1) * lanes + 2 * b + 1];
      }
    }
  }
  loaded_ = i;
  return row_;
}

}  // namespace tavrel::fast
