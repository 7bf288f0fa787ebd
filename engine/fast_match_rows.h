#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/fast_box_mean.h"
#include "engine/fast_isa.h"
#include "engine/float_array.h"
#include "engine/stage_arithmetic.h"
#include "engine/stereo_matcher.h"

// What the fast stages of the initial match values share: the job's
// geometry, image rows laid out for the vector lanes, and the streams in
// which a block of disparity indices travels down the image.
namespace tavrel::fast {

// Disparity indices of one block, side by side in the vector lanes.
inline constexpr int kLanes = 16;

struct Geometry {
  int rows = 0;
  int columns = 0;
  int disparities = 0;
  int minDisparity = 0;
  int bands = 0;
  int radius = 0;

  bool ValidRow(int i) const { return ValidRegion{rows, columns}.ContainsRow(i); }
  bool ValidColumn(std::int64_t c) const { return ValidRegion{rows, columns}.ContainsColumn(c); }
};

// The number of blocks of kLanes indices that cover the disparities.
inline int BlockCount(const Geometry& g) { return (g.disparities + kLanes - 1) / kLanes; }

// The calling thread's part first .. end - 1 of count items shared out in
// runs among the threads of a parallel region (all of them outside one).
struct Share {
  int thread = 0;
  int threads = 1;
  int first = 0;
  int end = 0;
};

Share ShareOf(int count);

// Image 1's row i, one plane per band, padded with zeros so that the lanes of
// every column can read it: planes[b * span + (c1 - firstColumn)] for image-1
// columns c1 of the valid region, 0 elsewhere.
struct ShiftedRow {
  std::int64_t firstColumn = 0;
  std::size_t span = 0;
  std::vector<float> planes;

  const float* Band(int b) const { return planes.data() + b * span; }
};

// Lanes lo .. hi of column c whose image-1 column c + minDisparity + k0 +
// lane lies in the valid region (hi < lo when none does).
inline void ValidLanes(const Geometry& g, int c, int k0, int& lo, int& hi) {
  const std::int64_t base = static_cast<std::int64_t>(c) + g.minDisparity + k0;
  lo = static_cast<int>(std::clamp<std::int64_t>(kValidFirst - base, 0, kLanes));
  hi = static_cast<int>(std::clamp<std::int64_t>(g.columns - kValidFirst - base, -1, kLanes - 1));
}

// to[k] = from[k] for k < count, count < 16, in fixed runs of 8, 4, 2 and 1
// values, each a single move: a loop over a variable count below the vector
// width would go one value at a time.
[[gnu::always_inline]] inline void CopyLanes(const float* __restrict from, int count,
                                             float* __restrict to) {
  int k = 0;
  for (int run = 8; run >= 1; run /= 2) {
    if ((count & run) == 0) continue;
    std::memcpy(to + k, from + k, run * sizeof(float));
    k += run;
  }
}

// Whether every value of the image is a whole number from `lowest` to 255.
bool WholeIntensities(const FloatArray& image, float lowest);

inline bool InNormalisedRegion(const Geometry& g, int i, int c) {
  return i >= kPixelMargin && i <= g.rows - kPixelMargin - 1 && c >= kPixelMargin &&
         c <= g.columns - kPixelMargin - 1;
}

// Zeroes the cells of plane row i (columns x lanes) outside the valid region;
// false when the whole row lies outside it.
bool ClearOutsideValid(const Geometry& g, int i, int lanes, float* row);

// A block of up to kLanes consecutive disparity indices k0 .. k0 + count - 1
// travelling down the image.
struct BlockStream {
  BlockStream(const Geometry& g, int channels, int k0, int count, ThreadArena& arena,
              bool sumsInFloat, int firstRow = 0)
      : box(g.rows, g.columns, channels * kLanes, g.radius, arena, sumsInFloat, firstRow),
        k0(k0),
        count(count) {}
  StreamingBoxMean box;
  int k0;
  int count;
};

// Padded planes of one image row (see ShiftedRow), loaded once per row for
// all the blocks of a thread.
class RowCache {
 public:
  RowCache(const Geometry& g, int bands);
  // Image 1's row i over the valid region.
  const ShiftedRow& ImageOne(const FloatArray& image1, const Geometry& g, int i);
  // Image 1's window means over the whole row i, from `meansRow`, that row
  // of the window means of both images (columns x 2B; band 2b image 0, band 2b + 1 image 1): 0
  // only outside the grid, as the straightforward code's guarded read gives.
  const ShiftedRow& MeansOfImageOne(const float* meansRow, const Geometry& g, int i);

  // The heap one cache holds.
  static std::size_t Bytes(const Geometry& g, int bands) {
    return SpanOf(g) * bands * sizeof(float);
  }

 private:
  static std::size_t SpanOf(const Geometry& g) {
    return static_cast<std::size_t>(g.columns) + g.disparities + kLanes;
  }

  ShiftedRow row_;
  int loaded_ = -1;
};

}  // namespace tavrel::fast
