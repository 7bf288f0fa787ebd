#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/fast_isa.h"
#include "engine/fast_iteration_rows.h"
#include "engine/fast_parallel.h"
#include "engine/fast_running_sums.h"
#include "engine/fast_transpose.h"

// One cooperative iteration in a single pass over the volume.
//
// The straightforward iteration runs the spatial box sum (a column pass and a
// row pass), the disparity running sum, the two line sums and the
// normalisation as separate passes. Here each interior row is finished in one
// visit: the column pass carries a double running sum per interior (column,
// index) cell from row to row, exactly as the box sum carries it down a
// column; then, within the row, the row pass, the disparity running sum, both
// line sums, the normalisation, clamp, square and product with L0 follow and
// the row is written back into Ln. The column pass runs w + 1 or w + 2 rows
// ahead of the row work, so that the rows it subtracts still hold their old
// values, and takes two rows per sweep over its sums.
//
// Every stored value goes through the same sequence of double or float
// operations as in the separate passes, so the results are identical for any
// split; cells outside the interior are 0 after the border clear and only
// ever add or subtract exact zeros there, which the fused pass leaves out.
namespace tavrel::fast {
namespace {

constexpr int kMargin = kPixelMargin;
constexpr int kIndexMargin = kDisparityMargin;
constexpr int kIndexPadLow = 2;
constexpr int kIndexPadHigh = 3;

// Columns c0 .. c1 - 1 of the row pass of the box sum over one row of column
// sums V (nc x D, index fastest): H[c][d] = running sum of V[c - w .. c + w][d],
// with the double sum carried along the row, one subtraction and one
// addition per step, exactly as StartStridedSums and StepSumsOf form it. Each value
// is turned into double once, as it enters, and kept in `ring` (2w + 2 rows
// of D doubles) until it leaves. c0 = 0 starts the sums; later calls go on
// from where the one before stopped.
TAVREL_KERNEL void RowSums(const float* __restrict V, int nc, int D, int w, int c0, int c1,
                           double* __restrict sum, double* __restrict ring, float* __restrict H) {
  const int slots = 2 * w + 2;
  auto slot = [ring, slots, D](int j) { return ring + static_cast<std::ptrdiff_t>(j % slots) * D; };
  auto column = [V, D](int j) { return V + static_cast<std::ptrdiff_t>(j) * D; };
  if (c0 == 0) {
    const int count = std::min(w, nc);
    for (int j = 0; j < count; ++j) {
      const float* v = column(j);
      double* kept = slot(j);
      for (int k = 0; k < D; ++k) kept[k] = v[k];
    }
    if (count == 0) {
      for (int k = 0; k < D; ++k) sum[k] = 0.0;
    } else {
      const double* first = slot(0);
      for (int k = 0; k < D; ++k) sum[k] = first[k];
      for (int j = 1; j < count; ++j) {
        const double* kept = slot(j);
        for (int k = 0; k < D; ++k) sum[k] += kept[k];
      }
    }
  }
  for (int c = c0; c < c1; ++c) {
    const int leave = c - w - 1;
    const int enter = c + w;
    float* out = H + static_cast<std::ptrdiff_t>(c) * D;
    if (leave >= 0 && enter < nc) {
      const double* gone = slot(leave);
      const float* v = column(enter);
      double* kept = slot(enter);
      for (int k = 0; k < D; ++k) {
        const double e = v[k];
        kept[k] = e;
        const double x = SlideWindowSum(sum[k], gone[k], e);
        sum[k] = x;
        out[k] = static_cast<float>(x);
      }
    } else if (leave >= 0) {
      const double* gone = slot(leave);
      for (int k = 0; k < D; ++k) {
        const double x = sum[k] - gone[k];
        sum[k] = x;
        out[k] = static_cast<float>(x);
      }
    } else if (enter < nc) {
      const float* v = column(enter);
      double* kept = slot(enter);
      for (int k = 0; k < D; ++k) {
        const double e = v[k];
        kept[k] = e;
        const double x = sum[k] + e;
        sum[k] = x;
        out[k] = static_cast<float>(x);
      }
    } else {
      for (int k = 0; k < D; ++k) out[k] = static_cast<float>(sum[k]);
    }
  }
}

// The row pass over a whole row, in a few parts, issuing the first half of
// `prefetch` on the way.
void RowPass(const float* V, int nc, int D, int w, double* sum, double* ring, float* H,
             RowPrefetch& prefetch) {
  constexpr int kParts = 8;
  for (int part = 0; part < kParts; ++part) {
    const int c0 = nc * part / kParts;
    const int c1 = nc * (part + 1) / kParts;
    prefetch.UpTo(part + 1, 2 * kParts);
    if (c0 == c1 && part > 0) continue;
    OnIsaPath<RowSums>(V, nc, D, w, c0, c1, sum, ring, H);
  }
}

constexpr int kPixelLanes = 16;

// Disparity running sum for every pixel of a row, kPixelLanes pixels at a
// time in the lanes. Ht holds the row pass results transposed, row k
// (k = -2 .. nd + 2, rows outside 0 .. nd - 1 zero) at
// Ht + (k + kIndexPadLow) * ncs; ncs is a multiple of kPixelLanes and the
// padding columns are zero. St[d * ncs + c] gets the sum over
// k = d - wd .. d + wd, formed as the running sum does it, and P0[c] the
// image-0 line sum: the stored sums added in float, d ascending.
TAVREL_KERNEL void DisparitySums(const float* __restrict Ht, int ncs, int nd, int wd,
                                 float* __restrict St, float* __restrict P0) {
  for (int c0 = 0; c0 < ncs; c0 += kPixelLanes) {
    auto row = [Ht, ncs, c0](int k) {
      return Ht + static_cast<std::ptrdiff_t>(k + kIndexPadLow) * ncs + c0;
    };
    double sum[kPixelLanes];
    float line[kPixelLanes] = {};
    const float* first = row(-wd);
    for (int j = 0; j < kPixelLanes; ++j) sum[j] = first[j];
    for (int k = -wd + 1; k <= wd; ++k) {
      const float* v = row(k);
      for (int j = 0; j < kPixelLanes; ++j) sum[j] += v[j];
    }
    for (int d = 0; d < nd; ++d) {
      float* out = St + static_cast<std::ptrdiff_t>(d) * ncs + c0;
      const float* leave = row(d - wd);
      const float* enter = row(d + wd + 1);
      for (int j = 0; j < kPixelLanes; ++j) {
        const float value = static_cast<float>(sum[j]);
        out[j] = value;
        line[j] += value;
        sum[j] = SlideWindowSum(sum[j], leave[j], enter[j]);
      }
    }
    for (int j = 0; j < kPixelLanes; ++j) P0[c0 + j] = line[j];
  }
}

// The valid range [lo, hi) of c for which c + offset lies in 0 .. nc - 1.
void ShiftedRange(std::int64_t offset, int nc, int& lo, int& hi) {
  lo = static_cast<int>(std::clamp<std::int64_t>(-offset, 0, nc));
  hi = static_cast<int>(std::clamp<std::int64_t>(nc - offset, 0, nc));
  if (hi < lo) hi = lo;
}

// Image-1 line sums of one row of supports St (index-major, stride ncs):
// P1[c1] = float sum of St[d][c] over the cells with c + offset(d) = c1,
// c ascending, which the loop over d descending produces. offset(d) = minDisparity + d + 3 turns
// interior column indices of image 0 into those of image 1.
TAVREL_KERNEL void ImageOneLineSums(const float* __restrict St, int ncs, int nc, int nd,
                                    int minDisparity, float* __restrict P1) {
  std::fill_n(P1, nc, 0.0f);
  for (int d = nd - 1; d >= 0; --d) {
    const std::int64_t offset = static_cast<std::int64_t>(minDisparity) + d + kIndexMargin;
    int lo = 0;
    int hi = 0;
    ShiftedRange(offset, nc, lo, hi);
    if (lo == hi) continue;
    const float* s = St + static_cast<std::ptrdiff_t>(d) * ncs;
    float* p1 = P1 + offset;
    for (int c = lo; c < hi; ++c) p1[c] += s[c];
  }
}

// In place on St: v = S / T (S where T is 0), v < 0 -> 0 (NaN stays), v * v,
// for every column of the padded rows. T = P0[c] plus the image-1 line sum at
// the image-1 column, taken from P1pad: 3 * ncs floats holding P1 at
// ncs .. ncs + nc - 1 and zeros around it. Adding a zero where the image-1
// column lies outside the interior changes T only from -0 to +0, which the
// test T != 0 and the quotient never see.
TAVREL_KERNEL void NormaliseAndSquare(float* __restrict St, int ncs, int nc, int nd,
                                      int minDisparity, const float* __restrict P0,
                                      const float* __restrict P1pad) {
  // Whole vectors only: the compiler then leaves out a scalar remainder loop.
  if (ncs % kPixelLanes != 0) __builtin_unreachable();
  for (int d = 0; d < nd; ++d) {
    const std::int64_t offset = static_cast<std::int64_t>(minDisparity) + d + kIndexMargin;
    float* s = St + static_cast<std::ptrdiff_t>(d) * ncs;
    if (offset <= -ncs || offset >= nc) {
      for (int c = 0; c < ncs; ++c) {
        const float t = P0[c];
        float v = t != 0.0f ? s[c] / t : s[c];
        v = v < 0.0f ? 0.0f : v;
        s[c] = v * v;
      }
      continue;
    }
    const float* p1 = P1pad + ncs + offset;
    for (int c = 0; c < ncs; ++c) {
      const float t = p1[c] + P0[c];
      float v = t != 0.0f ? s[c] / t : s[c];
      v = v < 0.0f ? 0.0f : v;
      s[c] = v * v;
    }
  }
}

// Zeroes the cells of row lnRow outside the interior: the border columns and,
// in the interior columns, the border indices.
void ClearRowBorder(float* lnRow, int columns, int disparities, int nc, int nd) {
  std::fill_n(lnRow, static_cast<std::ptrdiff_t>(kMargin) * disparities, 0.0f);
  for (int c = 0; c < nc; ++c) {
    float* out = lnRow + static_cast<std::ptrdiff_t>(kMargin + c) * disparities;
    for (int d = 0; d < kIndexMargin; ++d) out[d] = 0.0f;
    float* end = out + kIndexMargin + nd;
    for (int d = 0; d < kIndexMargin; ++d) end[d] = 0.0f;  // nd = disparities - 2 * margin
  }
  std::fill_n(lnRow + static_cast<std::ptrdiff_t>(kMargin + nc) * disparities,
              static_cast<std::ptrdiff_t>(columns - kMargin - nc) * disparities, 0.0f);
}

}  // namespace

namespace {

std::size_t RingCount(const Shape& s) {
  return static_cast<std::size_t>(2 * s.radiusRC + 2) * s.disparities;
}

std::size_t TransposedCount(const Shape& s) {
  return static_cast<std::size_t>(s.nd + kIndexPadLow + kIndexPadHigh) * s.ncs;
}

}  // namespace

std::size_t RowScratch::Bytes(const Shape& s) {
  return ThreadArena::Bytes<double>(s.disparities) + ThreadArena::Bytes<double>(RingCount(s)) +
         ThreadArena::Bytes<float>(static_cast<std::size_t>(s.nc) * s.disparities) +
         ThreadArena::Bytes<float>(TransposedCount(s)) +
         ThreadArena::Bytes<float>(static_cast<std::size_t>(s.nd) * s.ncs) +
         ThreadArena::Bytes<float>(s.ncs) + ThreadArena::Bytes<float>(3 * s.ncs);
}

RowScratch::RowScratch(const Shape& s, ThreadArena& arena)
    : rowSums(arena.Take<double>(s.disparities)),
      rowRing(arena.Take<double>(RingCount(s))),
      cells(arena.Take<float>(static_cast<std::size_t>(s.nc) * s.disparities)),
      transposed(arena.Take<float>(TransposedCount(s))),
      supports(arena.Take<float>(static_cast<std::size_t>(s.nd) * s.ncs)),
      p0(arena.Take<float>(s.ncs)),
      p1pad(arena.Take<float>(3 * s.ncs)) {
  // The padding rows and columns are read as zeros.
  std::fill_n(transposed, TransposedCount(s), 0.0f);
  std::fill_n(p1pad, 3 * s.ncs, 0.0f);
}

// Finishes one interior row from its column sums; issues `prefetch` (for
// rows to come) in parts along the way.
void ProcessRow(const Shape& s, const float* columnSums, float* lnRow, const float* l0Row,
                RowScratch& scratch, RowPrefetch& prefetch) {
  const std::size_t interior = static_cast<std::size_t>(kMargin) * s.disparities + kIndexMargin;
  RowPass(columnSums, s.nc, s.disparities, s.radiusRC, scratch.rowSums, scratch.rowRing,
          scratch.cells, prefetch);
  float* transposed = scratch.transposed + static_cast<std::ptrdiff_t>(kIndexPadLow) * s.ncs;
  Transpose(scratch.cells + kIndexMargin, s.disparities, transposed, s.ncs, s.nc, s.nd);
  prefetch.UpTo(5, 8);
  OnIsaPath<DisparitySums>(scratch.transposed, s.ncs, s.nd, s.radiusD, scratch.supports,
                           scratch.p0);
  prefetch.UpTo(6, 8);
  OnIsaPath<ImageOneLineSums>(scratch.supports, s.ncs, s.nc, s.nd, s.minDisparity,
                              scratch.p1pad + s.ncs);
  prefetch.UpTo(7, 8);
  OnIsaPath<NormaliseAndSquare>(scratch.supports, s.ncs, s.nc, s.nd, s.minDisparity, scratch.p0,
                                scratch.p1pad);
  prefetch.UpTo(1, 1);
  TransposeMultiply(scratch.supports, s.ncs, l0Row + interior, lnRow + interior, s.disparities,
                    s.nd, s.nc);
  ClearRowBorder(lnRow, s.columns, s.disparities, s.nc, s.nd);
}

}  // namespace tavrel::fast
