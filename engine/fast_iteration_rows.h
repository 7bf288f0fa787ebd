#pragma once

#include <cstddef>

#include "engine/fast_parallel.h"
#include "engine/stereo_matcher.h"

// The work of one interior row of a cooperative iteration, fused into one
// visit (see fast_iteration.cpp); fast_iteration_schedule.cpp shares the rows
// out among threads.
namespace tavrel::fast {

struct Shape {
  int rows = 0;
  int columns = 0;
  int disparities = 0;
  int minDisparity = 0;
  int radiusRC = 0;
  int radiusD = 0;
  int lastRow = 0;  // last interior row; the first is kPixelMargin
  int nc = 0;       // interior columns, the first is kPixelMargin
  int nd = 0;       // interior indices, the first is kDisparityMargin
  int ncs = 0;      // row stride of the transposed (index, column) buffers
  std::ptrdiff_t rowStride = 0;

  std::size_t CellOffset(int row, int cc) const {
    return static_cast<std::size_t>(row) * rowStride +
           static_cast<std::size_t>(kPixelMargin + cc) * disparities;
  }
};

// Asks for the cache lines of up to two blocks of floats ahead of use, a part
// at a time, so that the requests spread over the work of a row instead of
// filling the processor's queue of outstanding misses in one burst (which
// stalls the thread that issues them). Locality 1: the lines are needed a few
// rows later, keep them in the outer caches.
class RowPrefetch {
 public:
  void Add(const float* first, std::ptrdiff_t count) {
    blocks_[used_++] = {first, (count + kLine - 1) / kLine};
    total_ += blocks_[used_ - 1].lines;
  }

  // Issues the requests up to the fraction part / parts of all lines.
  void UpTo(std::ptrdiff_t part, std::ptrdiff_t parts) {
    const std::ptrdiff_t target = total_ * part / parts;
    for (; issued_ < target; ++issued_) {
      std::ptrdiff_t line = issued_;
      int b = 0;
      while (line >= blocks_[b].lines) line -= blocks_[b++].lines;
      __builtin_prefetch(blocks_[b].first + line * kLine, 0, 1);
    }
  }

 private:
  static constexpr std::ptrdiff_t kLine = 64 / sizeof(float);
  struct Block {
    const float* first = nullptr;
    std::ptrdiff_t lines = 0;
  };
  Block blocks_[2];
  int used_ = 0;
  std::ptrdiff_t total_ = 0;
  std::ptrdiff_t issued_ = 0;
};

// Scratch of one thread for the per-row work, taken from its arena.
struct RowScratch {
  static std::size_t Bytes(const Shape& s);
  RowScratch(const Shape& s, ThreadArena& arena);

  double* rowSums;
  double* rowRing;    // the row pass's values in double, from entering to leaving
  float* cells;       // nc x D, index fastest
  float* transposed;  // padded index-major copy of the interior indices of cells
  float* supports;    // nd x ncs
  float* p0;
  float* p1pad;  // zeros, the image-1 line sums at ncs .. ncs + nc - 1, zeros
};

// Finishes one interior row of Ln from its column sums (nc x D, the column
// pass of the box sum at that row) and the row of L0; issues `prefetch` (for
// rows to come) in parts along the way.
void ProcessRow(const Shape& s, const float* columnSums, float* lnRow, const float* l0Row,
                RowScratch& scratch, RowPrefetch& prefetch);

}  // namespace tavrel::fast
