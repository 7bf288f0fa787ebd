#include "engine/fast_extraction.h"

#include <algorithm>
#include <vector>

#include "engine/fast_isa.h"
#include "engine/fast_parallel.h"
#include "engine/fast_transpose.h"
#include "engine/reference_engine.h"

// The straightforward search walks each pixel's indices with a branch per
// index, which real and noisy volumes alike make hard to predict. Here the
// same search runs for kPixels pixels at once, one per lane, on their values
// turned index-major: each lane accepts exactly the indices the scalar search
// accepts, by the same comparisons, and the peak is then formed by the same
// code.
namespace tavrel::fast {
namespace {

constexpr int kPixels = 32;

// For each lane, the last index among 1 .. count - 2 that the straightforward
// search accepts in values[d * kPixels + lane] (index-major), or -1.
TAVREL_KERNEL void AcceptedIndices(const float* __restrict values, int count,
                                   int* __restrict accepted) {
  float best[kPixels];
  int at[kPixels];
  for (int lane = 0; lane < kPixels; ++lane) {
    best[lane] = -1.0f;
    at[lane] = -1;
  }
  for (int d = 1; d <= count - 2; ++d) {
    const float* prev = values + (d - 1) * kPixels;
    const float* cur = prev + kPixels;
    const float* next = cur + kPixels;
    for (int lane = 0; lane < kPixels; ++lane) {
      // All three comparisons, without short cuts, so that the lanes run alike.
      const bool take =
          (cur[lane] > best[lane]) & (cur[lane] >= prev[lane]) & (cur[lane] >= next[lane]);
      best[lane] = take ? cur[lane] : best[lane];
      at[lane] = take ? d : at[lane];
    }
  }
  for (int lane = 0; lane < kPixels; ++lane) accepted[lane] = at[lane];
}

void ExtractRow(StageGrids& grids, int row, float* indexMajor) {
  const FloatArray& Ln = *grids.Ln;
  const int count = grids.NumDisparities;
  for (int c0 = 0; c0 < grids.Columns; c0 += kPixels) {
    const int n = std::min(kPixels, grids.Columns - c0);
    const float* first = Ln.data() + Ln.Index(row, c0, 0);
    Transpose(first, count, indexMajor, kPixels, n, count);
    int accepted[kPixels];
    OnIsaPath<AcceptedIndices>(indexMajor, count, accepted);
    for (int j = 0; j < n; ++j) {
      const float* values = first + static_cast<std::ptrdiff_t>(j) * count;
      reference::StorePeak(
          grids, row, c0 + j,
          accepted[j] < 0 ? reference::Peak{} : reference::PeakAt(values, accepted[j]));
    }
  }
}

}  // namespace

// Pixels are independent, so rows are shared among threads, a few at a time
// as each thread comes free, since cores need not be equally fast.
void ExtractDispConf(StageGrids& grids) {
  ActiveIsaPath();  // chooses the path once, before any thread starts
  const int rows = grids.Rows;
  const std::size_t scratch = static_cast<std::size_t>(grids.NumDisparities) * kPixels;
  RegionFailure failure;
#pragma omp parallel
  {
    // Lanes past a row's last pixel keep what an earlier group left there;
    // their results are not used.
    std::vector<float> indexMajor;
    failure.Run([&] { indexMajor.assign(scratch, 0.0f); });
#pragma omp for schedule(dynamic, 4)
    for (int r = 0; r < rows; ++r) {
      if (failure.failed()) continue;
      if (grids.NumDisparities < 3) {
        reference::ExtractDispConfRow(grids, r);
      } else {
        ExtractRow(grids, r, indexMajor.data());
      }
    }
  }
  failure.Rethrow();
}

}  // namespace tavrel::fast
