#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "engine/fast_engine.h"
#include "engine/fast_isa.h"
#include "engine/fast_parallel.h"
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
// Threads: the interior rows are split into one band per thread. A band can
// only start with the column sums of the rows above it, so a first, short
// phase (the threads sharing the columns) runs the column recurrence from the
// top and records its state at every band's first row, and copies the rows
// around each band boundary that both neighbours read. Then every thread
// finishes its band without waiting for the others. In a series of
// iterations, the thread of the first band also runs the next iteration's
// column recurrence over the rows it has just written, while they are in
// cache, and hands the state at the second band's first row on, so that the
// next iteration's first phase need not run it from the top. Within a
// series, the rows are shared out by the pace each band's thread showed in
// the iterations before, since cores need not be equally fast (shared or
// mixed processors) and the first band's thread does the extra work.
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

struct Shape {
  int rows = 0;
  int columns = 0;
  int disparities = 0;
  int minDisparity = 0;
  int radiusRC = 0;
  int radiusD = 0;
  int lastRow = 0;  // last interior row; the first is kMargin
  int nc = 0;       // interior columns, the first is kMargin
  int nd = 0;       // interior indices, the first is kIndexMargin
  int ncs = 0;      // row stride of the transposed (index, column) buffers
  std::ptrdiff_t rowStride = 0;

  std::size_t CellOffset(int row, int cc) const {
    return static_cast<std::size_t>(row) * rowStride +
           static_cast<std::size_t>(kMargin + cc) * disparities;
  }
};

// state[k] = (state[k] - leave[k]) + enter[k] in double, for k < n; out[k]
// gets the new sums rounded to float. A null leave or enter row stands for a
// row of zeros, whose subtraction or addition changes nothing; a null out
// takes no values.
TAVREL_KERNEL void StepSums(double* __restrict state, const float* __restrict leave,
                            const float* __restrict enter, float* __restrict out, std::size_t n) {
  if (!out) {
    if (leave && enter) {
      for (std::size_t k = 0; k < n; ++k) state[k] = (state[k] - leave[k]) + enter[k];
    } else if (leave) {
      for (std::size_t k = 0; k < n; ++k) state[k] -= leave[k];
    } else if (enter) {
      for (std::size_t k = 0; k < n; ++k) state[k] += enter[k];
    }
    return;
  }
  if (leave && enter) {
    for (std::size_t k = 0; k < n; ++k) {
      const double x = (state[k] - leave[k]) + enter[k];
      state[k] = x;
      out[k] = static_cast<float>(x);
    }
  } else if (leave) {
    for (std::size_t k = 0; k < n; ++k) {
      const double x = state[k] - leave[k];
      state[k] = x;
      out[k] = static_cast<float>(x);
    }
  } else if (enter) {
    for (std::size_t k = 0; k < n; ++k) {
      const double x = state[k] + enter[k];
      state[k] = x;
      out[k] = static_cast<float>(x);
    }
  } else {
    for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<float>(state[k]);
  }
}

// Two steps of StepSums in one sweep, with no null rows: out1 gets the sums
// after the first, out2 those after the second. The sums are loaded and
// stored once for both, which halves their share of the traffic.
TAVREL_KERNEL void StepSumsTwice(double* __restrict state, const float* __restrict leave1,
                                 const float* __restrict enter1, float* __restrict out1,
                                 const float* __restrict leave2, const float* __restrict enter2,
                                 float* __restrict out2, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const double x = (state[k] - leave1[k]) + enter1[k];
    out1[k] = static_cast<float>(x);
    const double y = (x - leave2[k]) + enter2[k];
    state[k] = y;
    out2[k] = static_cast<float>(y);
  }
}

// state[k] = sum of first[j * stride + k] over j < count, ascending, in
// double (0 when count is 0), for k < n.
TAVREL_KERNEL void StartSums(double* __restrict state, const float* __restrict first,
                             std::ptrdiff_t stride, int count, std::size_t n) {
  if (count == 0) {
    std::fill_n(state, n, 0.0);
    return;
  }
  for (std::size_t k = 0; k < n; ++k) state[k] = first[k];
  for (int j = 1; j < count; ++j) {
    const float* row = first + j * stride;
    for (std::size_t k = 0; k < n; ++k) state[k] += row[k];
  }
}

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

// Columns c0 .. c1 - 1 of the row pass of the box sum over one row of column
// sums V (nc x D, index fastest): H[c][d] = running sum of V[c - w .. c + w][d],
// with the double sum carried along the row, one subtraction and one
// addition per step, exactly as StartSums and StepSums form it. Each value
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
        const double x = (sum[k] - gone[k]) + e;
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
        sum[j] = (sum[j] - leave[j]) + enter[j];
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

// Scratch of one thread for the per-row work, taken from its arena.
struct RowScratch {
  static std::size_t Bytes(const Shape& s) {
    return ThreadArena::Bytes<double>(s.disparities) + ThreadArena::Bytes<double>(RingCount(s)) +
           ThreadArena::Bytes<float>(static_cast<std::size_t>(s.nc) * s.disparities) +
           ThreadArena::Bytes<float>(TransposedCount(s)) +
           ThreadArena::Bytes<float>(static_cast<std::size_t>(s.nd) * s.ncs) +
           ThreadArena::Bytes<float>(s.ncs) + ThreadArena::Bytes<float>(3 * s.ncs);
  }
  static std::size_t RingCount(const Shape& s) {
    return static_cast<std::size_t>(2 * s.radiusRC + 2) * s.disparities;
  }
  static std::size_t TransposedCount(const Shape& s) {
    return static_cast<std::size_t>(s.nd + kIndexPadLow + kIndexPadHigh) * s.ncs;
  }

  RowScratch(const Shape& s, ThreadArena& arena)
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

  double* rowSums;
  double* rowRing;    // the row pass's values in double, from entering to leaving
  float* cells;       // nc x D, index fastest
  float* transposed;  // padded index-major copy of the interior indices of cells
  float* supports;    // nd x ncs
  float* p0;
  float* p1pad;  // zeros, the image-1 line sums at ncs .. ncs + nc - 1, zeros
};

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

// The first band's share before any pace is known: its thread forms the
// carry besides (measured on the development machine).
constexpr double kFirstBandWeight = 7.0 / 8.0;

// Boundaries of weights.size() bands over the rows first .. end - 1: element
// t of the result is band t's first row, the last element is end. The rows
// go in proportion to the weights, each kept within a third and three times
// the mean, and every band gets at least one row (end - first must be at
// least the number of bands).
std::vector<int> ShareRows(int first, int end, const std::vector<double>& weights) {
  const std::size_t bands = weights.size();
  const double mean = std::accumulate(weights.begin(), weights.end(), 0.0) / bands;
  std::vector<double> bounded(bands);
  for (std::size_t t = 0; t < bands; ++t) {
    bounded[t] =
        std::isfinite(mean) && mean > 0.0 ? std::clamp(weights[t], mean / 3, mean * 3) : 1.0;
  }
  const double total = std::accumulate(bounded.begin(), bounded.end(), 0.0);
  std::vector<int> bandFirst(bands + 1);
  double before = 0.0;
  bandFirst[0] = first;
  for (std::size_t t = 1; t < bands; ++t) {
    before += bounded[t - 1];
    const int at = first + static_cast<int>(std::lround((end - first) * (before / total)));
    bandFirst[t] = std::clamp(at, bandFirst[t - 1] + 1, end - static_cast<int>(bands - t));
  }
  bandFirst[bands] = end;
  return bandFirst;
}

// Folds the rows per second that each band's thread managed into `pace`,
// as an even mean with what it held, so that one slow moment moves the
// shares only halfway.
void UpdatePace(const std::vector<int>& bandFirst, const std::vector<double>& seconds,
                std::vector<double>& pace) {
  const std::size_t bands = seconds.size();
  std::vector<double> now(bands);
  for (std::size_t t = 0; t < bands; ++t) {
    now[t] = (bandFirst[t + 1] - bandFirst[t]) / std::max(seconds[t], 1e-9);
  }
  if (pace.size() != bands) {
    pace = now;
    return;
  }
  for (std::size_t t = 0; t < bands; ++t) pace[t] = 0.5 * (pace[t] + now[t]);
}

bool InteriorEmpty(const StereoMatcher& m) {
  return m.Rows < 2 * kMargin + 1 || m.Columns < 2 * kMargin + 1 ||
         m.NumDisparities < 2 * kIndexMargin + 1;
}

}  // namespace

void Iterate(StereoMatcher& matcher, IterationCarry* carry) {
  ActiveIsaPath();  // chooses the path once, before any thread starts
  FloatArray& LnGrid = *matcher.Ln;
  if (InteriorEmpty(matcher)) {
    LnGrid.Fill(0.0f);
    matcher.IterationCount += 1;
    return;
  }

  Shape s;
  s.rows = matcher.Rows;
  s.columns = matcher.Columns;
  s.disparities = matcher.NumDisparities;
  s.minDisparity = matcher.MinDisparity;
  s.radiusRC = matcher.WinRadRC;
  s.radiusD = matcher.WinRadD;
  s.lastRow = s.rows - kMargin - 1;
  s.nc = s.columns - 2 * kMargin;
  s.nd = s.disparities - 2 * kIndexMargin;
  s.ncs = PaddedCount(s.nc);
  s.rowStride = static_cast<std::ptrdiff_t>(s.columns) * s.disparities;

  float* Ln = LnGrid.data();
  const float* L0 = matcher.L0->data();
  const int w = s.radiusRC;
  // The column and row passes run over every index of the interior columns;
  // the border indices' lanes are independent and never read afterwards.
  const std::size_t planeCells = static_cast<std::size_t>(s.nc) * s.disparities;
  // Rows of column sums each thread keeps: the one being finished and the
  // up to w + 2 computed ahead of it.
  const std::size_t sumRows = static_cast<std::size_t>(w) + 3;

  int bands = 1;
#ifdef _OPENMP
  bands = omp_get_max_threads();
#endif
  const int interiorRows = s.lastRow - kMargin + 1;
  bands = std::clamp(bands, 1, interiorRows);
  const bool carrying = carry != nullptr && bands > 1;
  const bool sameSeries = carrying && carry->bands == bands && carry->rows == s.rows &&
                          carry->columns == s.columns && carry->disparities == s.disparities &&
                          carry->radius == w;
  if (carrying && !sameSeries) carry->pace.clear();
  // In a series, the rows go to the bands by the pace each band's thread
  // has shown, so that a slower core, or the first band's thread with its
  // extra work on the carry, is not left finishing while the others wait.
  const bool paced = carrying && interiorRows >= 16 * bands;
  std::vector<double> weights(static_cast<std::size_t>(bands), 1.0);
  if (paced && !carry->pace.empty()) {
    weights = carry->pace;
  } else if (paced) {
    weights[0] = kFirstBandWeight;
  }
  // Band t holds rows bandFirst[t] .. bandFirst[t + 1] - 1.
  std::vector<int> bandFirst = ShareRows(kMargin, s.lastRow + 1, weights);
  // Where the next iteration's second band will start, so that this one
  // forms the column sums there.
  const int carryTarget = bandFirst[1];
  // The previous iteration formed them where this one's second band starts.
  const bool carried =
      sameSeries && carry->firstRow > kMargin && carry->firstRow <= s.lastRow + 2 - bands;
  if (carried && carry->firstRow != bandFirst[1]) {
    const std::vector<int> rest =
        ShareRows(carry->firstRow, s.lastRow + 1, {weights.begin() + 1, weights.end()});
    std::copy(rest.begin(), rest.end(), bandFirst.begin() + 1);
  }
  // Column sums just above each band's first row, and the original rows
  // bandFirst[t] - w - 1 .. bandFirst[t] + w - 1 around each boundary
  // between bands (t >= 1).
  const std::size_t boundaryRows = 2 * static_cast<std::size_t>(w) + 1;
  const std::size_t boundaryCells = planeCells * boundaryRows * (bands - 1);
  ThreadArena& shared = ThreadArena::Mine(1);
  shared.Reset(ThreadArena::Bytes<double>(planeCells * bands) +
               ThreadArena::Bytes<float>(boundaryCells));
  double* checkpoints = shared.Take<double>(planeCells * bands);
  float* boundaries = shared.Take<float>(boundaryCells);
  auto boundaryRow = [&](int t, int row) -> float* {
    return boundaries +
           (static_cast<std::size_t>(t - 1) * boundaryRows + (row - (bandFirst[t] - w - 1))) *
               planeCells;
  };

  // Band 0 can form the next iteration's column sums at band 1's first row
  // from the rows it has just written, so that the next iteration need not
  // run them down from the top; this iteration may have such sums from the
  // previous one.
  if (carrying) {
    carry->firstRow = -1;
    carry->columnSums.resize(planeCells);
  }
  double* carrySums = carrying ? carry->columnSums.data() : nullptr;
  const int startRows = std::min(w, interiorRows);
  bool carryStarted = false;
  int carryStep = kMargin;
  // Runs the column recurrence over the new rows as far as the rows up to
  // doneRow allow: steps kMargin .. carryTarget - 1.
  auto advanceCarry = [&](int doneRow) {
    if (!carryStarted) {
      if (kMargin + startRows - 1 > doneRow) return;
      OnIsaPath<StartSums>(carrySums, Ln + s.CellOffset(kMargin, 0), s.rowStride, startRows,
                           planeCells);
      carryStarted = true;
    }
    for (; carryStep < carryTarget; ++carryStep) {
      const int enterRow = carryStep + w;
      if (enterRow <= s.lastRow && enterRow > doneRow) break;
      const int leaveRow = carryStep - w - 1;
      OnIsaPath<StepSums>(carrySums, leaveRow >= kMargin ? Ln + s.CellOffset(leaveRow, 0) : nullptr,
                          enterRow <= s.lastRow ? Ln + s.CellOffset(enterRow, 0) : nullptr, nullptr,
                          planeCells);
    }
  };

  std::vector<double> seconds(static_cast<std::size_t>(bands));
  constexpr int kColumnBlock = 32;
  constexpr int kReplayAhead = 4;
  const int columnBlocks = (s.nc + kColumnBlock - 1) / kColumnBlock;

#pragma omp parallel num_threads(bands)
  {
#pragma omp for schedule(dynamic)
    for (int block = 0; block < columnBlocks; ++block) {
      const int c0 = block * kColumnBlock;
      const std::size_t offset = static_cast<std::size_t>(c0) * s.disparities;
      const std::size_t cells =
          static_cast<std::size_t>(std::min(kColumnBlock, s.nc - c0)) * s.disparities;
      double* state = checkpoints + offset;
      OnIsaPath<StartSums>(state, Ln + s.CellOffset(kMargin, c0), s.rowStride,
                           std::min(w, interiorRows), cells);
      for (int t = 1; t < bands; ++t) {
        double* next = checkpoints + planeCells * t + offset;
        const bool given = t == 1 && carried;
        std::copy_n(given ? carrySums + offset : state, cells, next);
        state = next;
        for (int r = bandFirst[t - 1]; r < bandFirst[t] && !given; ++r) {
          const int leaveRow = r - w - 1;
          const int enterRow = r + w;
          // A block's rows lie a whole image row apart, too far for the
          // hardware to guess: ask for the one entering a few steps later.
          if (enterRow + kReplayAhead <= s.lastRow) {
            RowPrefetch ahead;
            ahead.Add(Ln + s.CellOffset(enterRow + kReplayAhead, c0),
                      static_cast<std::ptrdiff_t>(cells));
            ahead.UpTo(1, 1);
          }
          OnIsaPath<StepSums>(
              state, leaveRow >= kMargin ? Ln + s.CellOffset(leaveRow, c0) : nullptr,
              enterRow <= s.lastRow ? Ln + s.CellOffset(enterRow, c0) : nullptr, nullptr, cells);
        }
        for (int row = bandFirst[t] - w - 1; row < bandFirst[t] + w; ++row) {
          if (row < kMargin || row > s.lastRow) continue;
          std::memcpy(boundaryRow(t, row) + offset, Ln + s.CellOffset(row, c0),
                      sizeof(float) * cells);
        }
      }
    }

    // Each band on its own thread; the loop hands band t to thread t.
#pragma omp for schedule(static, 1)
    for (int t = 0; t < bands; ++t) {
      const auto started = std::chrono::steady_clock::now();
      ThreadArena& arena = ThreadArena::Mine(0);
      arena.Reset(RowScratch::Bytes(s) + ThreadArena::Bytes<double>(planeCells) +
                  ThreadArena::Bytes<float>(planeCells * sumRows));
      RowScratch scratch(s, arena);
      double* state = arena.Take<double>(planeCells);
      std::copy_n(checkpoints + planeCells * t, planeCells, state);
      float* columnSums = arena.Take<float>(planeCells * sumRows);
      auto sumsOf = [&](int row) { return columnSums + (row % sumRows) * planeCells; };
      const int first = bandFirst[t];
      const int end = bandFirst[t + 1];
      // Column sums of row q; its leaving row q - w - 1 must still hold its
      // original values.
      auto leaveOf = [&](int q) -> const float* {
        const int leaveRow = q - w - 1;
        if (leaveRow < kMargin) return nullptr;
        return leaveRow < first ? boundaryRow(t, leaveRow) : Ln + s.CellOffset(leaveRow, 0);
      };
      auto enterOf = [&](int q) -> const float* {
        const int enterRow = q + w;
        if (enterRow > s.lastRow) return nullptr;
        return enterRow >= end ? boundaryRow(t + 1, enterRow) : Ln + s.CellOffset(enterRow, 0);
      };
      auto columnStep = [&](int q) {
        OnIsaPath<StepSums>(state, leaveOf(q), enterOf(q), sumsOf(q), planeCells);
      };
      // Rows q and q + 1 in one sweep over the sums where no row is missing.
      auto columnSteps = [&](int q) {
        const float* leave1 = leaveOf(q);
        const float* enter1 = enterOf(q);
        const float* leave2 = leaveOf(q + 1);
        const float* enter2 = enterOf(q + 1);
        if (leave1 && enter1 && leave2 && enter2) {
          OnIsaPath<StepSumsTwice>(state, leave1, enter1, sumsOf(q), leave2, enter2, sumsOf(q + 1),
                                   planeCells);
        } else {
          columnStep(q);
          columnStep(q + 1);
        }
      };
      // The column pass runs w + 1 or w + 2 rows ahead of the row work, two
      // rows at a time, so that the rows it subtracts are always ones that
      // the row work has not yet overwritten.
      for (int q = first; q < std::min(first + w + 1, end); ++q) columnStep(q);
      for (int r = first; r < end; ++r) {
        const std::size_t rowOffset = static_cast<std::size_t>(r) * s.rowStride;
        const int ahead = r + w + 1;
        // The stream from memory overlaps the arithmetic: the next row's
        // L0 and an Ln row about to enter the column sums (asking for the
        // pair of rows a sweep takes one row earlier measured slower).
        RowPrefetch prefetch;
        if (r + 1 < end) prefetch.Add(L0 + rowOffset + s.rowStride, s.rowStride);
        if (ahead + w + 1 <= s.lastRow) {
          prefetch.Add(Ln + s.CellOffset(ahead + w + 1, 0),
                       static_cast<std::ptrdiff_t>(planeCells));
        }
        if ((r - first) % 2 == 0) {
          if (ahead + 1 < end) {
            columnSteps(ahead);
          } else if (ahead < end) {
            columnStep(ahead);
          }
        }
        ProcessRow(s, sumsOf(r), Ln + rowOffset, L0 + rowOffset, scratch, prefetch);
        if (carrying && t == 0) advanceCarry(r);
      }
      seconds[t] =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }

    // The carried sums' last steps enter rows of the second band or beyond.
#pragma omp single nowait
    {
      if (carrying) advanceCarry(s.lastRow);
    }

    // Rows outside the interior.
#pragma omp for schedule(static)
    for (int r = 0; r < s.rows; ++r) {
      if (r >= kMargin && r <= s.lastRow) continue;
      std::fill_n(Ln + static_cast<std::size_t>(r) * s.rowStride, s.rowStride, 0.0f);
    }
  }
  if (carrying) {
    if (paced) UpdatePace(bandFirst, seconds, carry->pace);
    carry->firstRow = carryTarget;
    carry->rows = s.rows;
    carry->columns = s.columns;
    carry->disparities = s.disparities;
    carry->radius = w;
    carry->bands = bands;
  }
  matcher.IterationCount += 1;
}

}  // namespace tavrel::fast
