#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "engine/fast_engine.h"
#include "engine/fast_isa.h"
#include "engine/fast_memory.h"
#include "engine/fast_parallel.h"
#include "engine/fast_transpose.h"
#include "engine/reference_engine.h"

// Initial match values, one block of kLanes disparity indices at a time.
//
// The straightforward computation fills one image-sized plane per disparity
// index (similarity, or the 3B moments), box-averages it and copies it into
// L0 with a stride of NumDisparities floats. Here a block of kLanes
// consecutive indices travels down the image together: each image row of the
// block's planes is made once (lanes = indices, adjacent in memory), kept in a
// ring of 2r + 2 rows, and the box mean runs as running sums carried from row
// to row (columns) and along the row (rows), exactly as BoxSum forms them,
// lane by lane.
//
// Correlation: the finished row goes straight into L0. Blocks are
// independent: each thread moves its blocks down the image together; no
// value depends on how they are shared. With whole intensities every box
// sum is exact, so a block's rows may also be split among threads, each
// part starting its sums afresh (see ComputeL0).
//
// SAD: the scaling needs the mean over all indices of each pixel, box-averaged
// again, so every block of a row moves together and the raw rows wait in a
// small ring until their background level is known; then each cell of L0
// and Ln is written once, with its final value. Threads take bands of rows,
// which is exact only when every box sum is (see ExactSadSums and
// ExactMeanSums); otherwise one thread runs the volume from the top.
namespace tavrel::fast {
namespace {

constexpr int kLanes = 16;
constexpr double kOneOver255 = 0.00392156862745098;
constexpr float kLowestMatchValue = 0.08f;
constexpr int kValidFirst = 9;  // valid region: rows and columns 9 .. size - 9

struct Geometry {
  int rows = 0;
  int columns = 0;
  int disparities = 0;
  int minDisparity = 0;
  int bands = 0;
  int radius = 0;

  bool ValidRow(int i) const { return i >= kValidFirst && i <= rows - kValidFirst; }
  bool ValidColumn(std::int64_t c) const { return c >= kValidFirst && c <= columns - kValidFirst; }
};

// The calling thread's part first .. end - 1 of count items shared out in
// runs among the threads of a parallel region (all of them outside one).
struct Share {
  int thread = 0;
  int threads = 1;
  int first = 0;
  int end = 0;
};

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

// Box mean of radius r over the planes of one block, streamed row by row.
// A plane row holds columns x lanes floats (lane fastest; lanes = channels x
// kLanes). The caller supplies rows of the unfiltered planes through
// MakeRow(i, out) and receives each filtered row in order.
//
// The buffers come from the calling thread's arena, which keeps them from one
// job to the next: fresh pages cost a fault each, and with several threads
// running a fault costs far more than the filtering of the page.
class StreamingBoxMean {
 public:
  // Arena bytes that one stream takes.
  static std::size_t Bytes(int columns, int lanes, int radius) {
    const std::size_t rowSize = static_cast<std::size_t>(columns) * lanes;
    return ThreadArena::Bytes<float>(rowSize * (2 * radius + 2)) +
           ThreadArena::Bytes<double>(rowSize) + 2 * ThreadArena::Bytes<float>(rowSize) +
           ThreadArena::Bytes<double>(lanes);
  }

  // With sumsInFloat the running sums are kept in float instead of double:
  // only for inputs whose every window sum and partial sum is a whole number
  // that float holds exactly, where both give the exact sums (see
  // ExactInFloat).
  //
  // A stream may start at a later row, firstRow: it then forms the column
  // sums of its first inner row afresh, from that row's window, instead of
  // carrying them down from the top. The two agree only where every sum is
  // exact (see ExactSadSums), so only such callers start below row 0.
  StreamingBoxMean(int rows, int columns, int lanes, int radius, ThreadArena& arena,
                   bool sumsInFloat = false, int firstRow = 0)
      : rows_(rows),
        columns_(columns),
        lanes_(lanes),
        radius_(radius),
        ringRows_(2 * radius + 2),
        rowSize_(static_cast<std::size_t>(columns) * lanes),
        sumsInFloat_(sumsInFloat),
        ring_(arena.Take<float>(rowSize_ * ringRows_)),
        columnSums_(arena.Take<double>(rowSize_)),
        columnValues_(arena.Take<float>(rowSize_)),
        rowSum_(arena.Take<double>(lanes)),
        out_(arena.Take<float>(rowSize_)) {
    const double side = 2.0 * radius + 1.0;
    w_ = static_cast<float>(side * side);
    active_ = rows >= 2 * radius + 1 && columns >= 2 * radius + 1;
    made_ = std::max(0, firstRow - radius);
    startRow_ = std::max(radius, firstRow);
  }

  // Filtered row i (columns x lanes), valid until the next call. Rows go in
  // order firstRow, firstRow + 1, ..., rows - 1; makeRow(j, float* row) must write unfiltered
  // row j, and is called for each row once, as the window first reaches it.
  template <typename MakeRow>
  const float* Step(int i, MakeRow&& makeRow) {
    for (; made_ <= std::min(i + radius_, rows_ - 1); ++made_) makeRow(made_, Slot(made_));
    if (active_ && i >= radius_ && i <= rows_ - radius_ - 1) {
      InnerRow(i);
    } else {
      EdgeRow(i);
    }
    return out_;
  }

 private:
  float* Slot(int i) { return ring_ + static_cast<std::size_t>(i % ringRows_) * rowSize_; }

  void InnerRow(int i);
  void EdgeRow(int i);

  int rows_;
  int columns_;
  int lanes_;
  int radius_;
  int ringRows_;
  std::size_t rowSize_;
  bool sumsInFloat_;
  float w_ = 1.0f;
  bool active_ = false;
  int made_ = 0;
  int startRow_ = 0;  // the inner row whose column sums are formed afresh
  // Every element is written before it is read: the ring by makeRow, the
  // sums at a stream's first inner row, the rest for each row. With sums in
  // float, the sums' storage holds floats.
  float* ring_;
  double* columnSums_;
  float* columnValues_;
  double* rowSum_;
  float* out_;
};

// A box mean of whole numbers v with |v| <= 255 * 255, over windows of up to
// 15 x 15 cells, has every running sum below 225 * 65025 < 2^24 in
// magnitude: float holds each exactly, as double does, so the two give the
// same bits.
bool ExactInFloat(int radius) { return radius <= 7; }

// sums[k] = first[k], then sums[k] += rows[j][k] for j = 1 .. count - 1;
// values = sums rounded to float.
template <typename Sum>
TAVREL_KERNEL void StartSumsOf(Sum* __restrict sums, const float* const* rows, int count,
                               float* __restrict values, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) sums[k] = rows[0][k];
  for (int j = 1; j < count; ++j) {
    const float* row = rows[j];
    for (std::size_t k = 0; k < n; ++k) sums[k] += row[k];
  }
  for (std::size_t k = 0; k < n; ++k) values[k] = static_cast<float>(sums[k]);
}

// sums = (sums - leave) + enter, values = sums rounded to float.
template <typename Sum>
TAVREL_KERNEL void StepSumsOf(Sum* __restrict sums, const float* __restrict leave,
                              const float* __restrict enter, float* __restrict values,
                              std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const Sum s = (sums[k] - leave[k]) + enter[k];
    sums[k] = s;
    values[k] = static_cast<float>(s);
  }
}

// The row pass of BoxSum on one row (columns x lanes, lane fastest), followed
// by BoxMean's division by w: out[j] = float(float(running sum) / w) for the
// inner columns j = r .. columns - r - 1.
template <typename Sum>
TAVREL_KERNEL void RowPassAndDivideOf(const float* __restrict values, int columns, int lanes,
                                      int radius, float w, Sum* __restrict sum,
                                      float* __restrict out) {
  for (int k = 0; k < lanes; ++k) sum[k] = values[k];
  for (int j = 1; j <= 2 * radius; ++j) {
    const float* v = values + static_cast<std::ptrdiff_t>(j) * lanes;
    for (int k = 0; k < lanes; ++k) sum[k] += v[k];
  }
  const int last = columns - radius - 1;
  for (int j = radius; j <= last; ++j) {
    float* o = out + static_cast<std::ptrdiff_t>(j) * lanes;
    if (j == last) {
      for (int k = 0; k < lanes; ++k) o[k] = static_cast<float>(sum[k]) / w;
      break;
    }
    // Each lane's value is stored before its sum moves on, in one sweep.
    const float* leave = values + static_cast<std::ptrdiff_t>(j - radius) * lanes;
    const float* enter = values + static_cast<std::ptrdiff_t>(j + radius + 1) * lanes;
    for (int k = 0; k < lanes; ++k) {
      const Sum current = sum[k];
      o[k] = static_cast<float>(current) / w;
      sum[k] = (current - leave[k]) + enter[k];
    }
  }
}

void StartSums(double* sums, const float* const* rows, int count, float* values, std::size_t n) {
  OnIsaPath<StartSumsOf<double>>(sums, rows, count, values, n);
}
void StartSums(float* sums, const float* const* rows, int count, float* values, std::size_t n) {
  OnIsaPath<StartSumsOf<float>>(sums, rows, count, values, n);
}
void StepSums(double* sums, const float* leave, const float* enter, float* values, std::size_t n) {
  OnIsaPath<StepSumsOf<double>>(sums, leave, enter, values, n);
}
void StepSums(float* sums, const float* leave, const float* enter, float* values, std::size_t n) {
  OnIsaPath<StepSumsOf<float>>(sums, leave, enter, values, n);
}
void RowPassAndDivide(const float* values, int columns, int lanes, int radius, float w, double* sum,
                      float* out) {
  OnIsaPath<RowPassAndDivideOf<double>>(values, columns, lanes, radius, w, sum, out);
}
void RowPassAndDivide(const float* values, int columns, int lanes, int radius, float w, float* sum,
                      float* out) {
  OnIsaPath<RowPassAndDivideOf<float>>(values, columns, lanes, radius, w, sum, out);
}

TAVREL_KERNEL void Divide(const float* __restrict in, float w, float* __restrict out,
                          std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = in[k] / w;
}

void StreamingBoxMean::InnerRow(int i) {
  const int r = radius_;
  const std::size_t innerBegin = static_cast<std::size_t>(r) * lanes_;
  const std::size_t innerCount = static_cast<std::size_t>(columns_ - 2 * r) * lanes_;
  float* values = columnValues_ + innerBegin;
  auto columnPass = [&](auto* sums) {
    sums += innerBegin;
    if (i == startRow_) {
      std::vector<const float*> window;
      for (int j = i - r; j <= i + r; ++j) window.push_back(Slot(j) + innerBegin);
      StartSums(sums, window.data(), 2 * r + 1, values, innerCount);
    } else {
      StepSums(sums, Slot(i - 1 - r) + innerBegin, Slot(i + r) + innerBegin, values, innerCount);
    }
  };
  if (sumsInFloat_) {
    columnPass(reinterpret_cast<float*>(columnSums_));
  } else {
    columnPass(columnSums_);
  }
  // Edge columns enter the row sums with their own values.
  const float* raw = Slot(i);
  std::copy_n(raw, innerBegin, columnValues_);
  std::copy_n(raw + innerBegin + innerCount, innerBegin, columnValues_ + innerBegin + innerCount);

  if (sumsInFloat_) {
    RowPassAndDivide(columnValues_, columns_, lanes_, r, w_, reinterpret_cast<float*>(rowSum_),
                     out_);
  } else {
    RowPassAndDivide(columnValues_, columns_, lanes_, r, w_, rowSum_, out_);
  }
  std::copy_n(raw, innerBegin, out_);
  std::copy_n(raw + innerBegin + innerCount, innerBegin, out_ + innerBegin + innerCount);
}

// A row BoxSum leaves alone: BoxMean still divides its inner columns.
void StreamingBoxMean::EdgeRow(int i) {
  const float* raw = Slot(i);
  std::copy_n(raw, rowSize_, out_);
  if (columns_ >= 2 * radius_ + 1) {
    const std::size_t begin = static_cast<std::size_t>(radius_) * lanes_;
    OnIsaPath<Divide>(raw + begin, w_, out_ + begin,
                      static_cast<std::size_t>(columns_ - 2 * radius_) * lanes_);
  }
}

// Image 1's row i, one plane per band, padded with zeros so that the lanes of
// every column can read it: planes[b * span + (c1 - firstColumn)] for image-1
// columns c1 of the valid region, 0 elsewhere.
struct ShiftedRow {
  std::int64_t firstColumn = 0;
  std::size_t span = 0;
  std::vector<float> planes;

  const float* Band(int b) const { return planes.data() + b * span; }
};

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

// Lanes lo .. hi of column c whose image-1 column c + minDisparity + k0 +
// lane lies in the valid region (hi < lo when none does).
void ValidLanes(const Geometry& g, int c, int k0, int& lo, int& hi) {
  const std::int64_t base = static_cast<std::int64_t>(c) + g.minDisparity + k0;
  lo = static_cast<int>(std::clamp<std::int64_t>(kValidFirst - base, 0, kLanes));
  hi = static_cast<int>(std::clamp<std::int64_t>(g.columns - kValidFirst - base, -1, kLanes - 1));
}

// SAD similarities of the pixels c = first .. last of image-0 row `row0`
// (bands interleaved) against kLanes shifted pixels each:
// out[c * kLanes + lane] = per band t = float(t + (1 - |a - v| / 255)), then
// t / bands, where v = image 1 at column c + minDisparity + k0 + lane (from
// `shifted`); 0 in the lanes whose image-1 column lies outside the valid
// region.
//
// kBytes: for whole intensities from 0 to 255. A difference n = |a - v| is
// then a whole number 0 .. 255, and the first band's term 1 - n / 255,
// formed in double and rounded to float, equals (255 - n) / 255 divided in
// float for each of the 256 values of n (the rounded real quotient either
// way; checked one by one). So the first band, the only one of grey images,
// runs in float.
template <bool kBytes>
[[gnu::always_inline]] inline void SimilarityRowOf(const Geometry& g, const float* __restrict row0,
                                                   const ShiftedRow& shifted, int k0, int first,
                                                   int last, float* __restrict out) {
  const int bands = g.bands;
  const float floatBands = static_cast<float>(bands);  // exact, see ComputeL0
  for (int c = first; c <= last; ++c) {
    int lo = 0;
    int hi = 0;
    ValidLanes(g, c, k0, lo, hi);
    const float* a = row0 + static_cast<std::ptrdiff_t>(c) * bands;
    float t[kLanes];
    int b = 0;
    if constexpr (!kBytes) {
      std::fill_n(t, kLanes, 0.0f);
    } else {
      const float* v = shifted.Band(0) + c + k0;
#pragma GCC unroll 1
      for (int lane = 0; lane < kLanes; ++lane) {
        t[lane] = (255.0f - std::fabs(a[0] - v[lane])) / 255.0f;
      }
      b = 1;
    }
    for (; b < bands; ++b) {
      const double ab = a[b];
      const float* v = shifted.Band(b) + c + k0;
#pragma GCC unroll 1
      for (int lane = 0; lane < kLanes; ++lane) {
        // Whole intensities differ exactly in float too, at half the width.
        const double difference =
            kBytes ? static_cast<double>(a[b] - v[lane]) : ab - static_cast<double>(v[lane]);
        t[lane] = static_cast<float>(t[lane] + (1.0 - std::fabs(difference) * kOneOver255));
      }
    }
    float* o = out + static_cast<std::ptrdiff_t>(c) * kLanes;
#pragma GCC unroll 1
    for (int lane = 0; lane < kLanes; ++lane) {
      const float mean = t[lane] / floatBands;
      o[lane] = lane >= lo && lane <= hi ? mean : 0.0f;
    }
  }
}

TAVREL_KERNEL void SimilarityRow(const Geometry& g, const float* row0, const ShiftedRow& shifted,
                                 int k0, int first, int last, float* out) {
  SimilarityRowOf<false>(g, row0, shifted, k0, first, last, out);
}
TAVREL_KERNEL void ByteSimilarityRow(const Geometry& g, const float* row0,
                                     const ShiftedRow& shifted, int k0, int first, int last,
                                     float* out) {
  SimilarityRowOf<true>(g, row0, shifted, k0, first, last, out);
}

// Moments of the pixels c = first .. last of image-0 row `row0` against
// kLanes shifted pixels each, at out[(c * 3B + channel) * kLanes + lane]:
// channels 3b, 3b + 1, 3b + 2 = a * a, v * v, v * a (each rounded to float);
// 0 in the lanes outside the valid region.
TAVREL_KERNEL void MomentRow(const Geometry& g, const float* __restrict row0,
                             const ShiftedRow& shifted, int k0, int first, int last,
                             float* __restrict out) {
  const int bands = g.bands;
  for (int c = first; c <= last; ++c) {
    int lo = 0;
    int hi = 0;
    ValidLanes(g, c, k0, lo, hi);
    for (int b = 0; b < bands; ++b) {
      const double a = row0[static_cast<std::ptrdiff_t>(c) * bands + b];
      const float* v = shifted.Band(b) + c + k0;
      float* aa = out + (static_cast<std::ptrdiff_t>(c) * 3 * bands + 3 * b) * kLanes;
      float* vv = aa + kLanes;
      float* va = vv + kLanes;
#pragma GCC unroll 1
      for (int lane = 0; lane < kLanes; ++lane) {
        const double vl = v[lane];
        const bool ok = lane >= lo && lane <= hi;
        aa[lane] = ok ? static_cast<float>(a * a) : 0.0f;
        vv[lane] = ok ? static_cast<float>(vl * vl) : 0.0f;
        va[lane] = ok ? static_cast<float>(vl * a) : 0.0f;
      }
    }
  }
}

// Correlation values of one block row, kLanes per pixel: out[c * kLanes +
// lane] for the columns c < columns, from the box-averaged moments
// (moments[(c * 3B + channel) * kLanes + lane], see MomentRow), the window
// means of image 0 (means[c * 2B + 2b]) and those of image 1 around each
// lane's shifted column (mu1[b][c + lane]). Same operations and roundings as
// the straightforward code: stored variances and covariance, q in double,
// bands with q = 0 skipped, float sum, then sum / bands. One call per row, so
// that the 16-lane loops cost no call each.
TAVREL_KERNEL void CorrelationRow(const float* __restrict moments, const float* __restrict means,
                                  const float* const* mu1, int bands, int columns,
                                  float* __restrict out) {
  const float floatBands = static_cast<float>(bands);  // exact, see ComputeL0
  const int channels = 3 * bands;
  for (int c = 0; c < columns; ++c) {
    const float* pixel = moments + static_cast<std::ptrdiff_t>(c) * channels * kLanes;
    float sum[kLanes] = {};
    for (int b = 0; b < bands; ++b) {
      const float* aa = pixel + 3 * b * kLanes;
      const float* vv = aa + kLanes;
      const float* va = vv + kLanes;
      const double m0 = means[static_cast<std::ptrdiff_t>(c) * 2 * bands + 2 * b];
      const float* m1 = mu1[b] + c;
      for (int lane = 0; lane < kLanes; ++lane) {
        const double m1l = m1[lane];
        const float variance0 = static_cast<float>(aa[lane] - m0 * m0);
        const float variance1 = static_cast<float>(vv[lane] - m1l * m1l);
        const float covariance = static_cast<float>(va[lane] - m0 * m1l);
        const double q = static_cast<double>(variance0) * variance1;
        const float added = static_cast<float>(sum[lane] + covariance / __builtin_sqrt(q));
        sum[lane] = q != 0.0 ? added : sum[lane];
      }
    }
    float* o = out + static_cast<std::ptrdiff_t>(c) * kLanes;
    for (int lane = 0; lane < kLanes; ++lane) o[lane] = sum[lane] / floatBands;
  }
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

// The clamp of the values of pixels c0 .. c1 - 1 (kLanes each, of which the
// first count are used) into l0 and, in the interior lanes firstInterior ..
// lastInterior, ln (0 in the others); pixel c's values go to
// l0[c * stride + lane]. One call per row, so that a pixel costs no call.
TAVREL_KERNEL void ClampRow(const float* __restrict values, int c0, int c1, int count,
                            int firstInterior, int lastInterior, float* __restrict l0,
                            float* __restrict ln, std::ptrdiff_t stride) {
  auto clamp = [&](int c, float* l0Lanes, float* lnLanes) {
#pragma GCC unroll 1
    for (int k = 0; k < kLanes; ++k) {
      float v = values[static_cast<std::ptrdiff_t>(c) * kLanes + k];
      v = !(v >= kLowestMatchValue) ? kLowestMatchValue : v;
      v = v > 1.0f ? 1.0f : v;
      l0Lanes[k] = v;
      lnLanes[k] = k >= firstInterior && k <= lastInterior ? v : 0.0f;
    }
  };
  if (count == kLanes) {
    for (int c = c0; c < c1; ++c) clamp(c, l0 + c * stride, ln + c * stride);
    return;
  }
  // A short block: all lanes are clamped as vectors, the used ones moved.
  for (int c = c0; c < c1; ++c) {
    float l0Lanes[kLanes];
    float lnLanes[kLanes];
    clamp(c, l0Lanes, lnLanes);
    CopyLanes(l0Lanes, count, l0 + c * stride);
    CopyLanes(lnLanes, count, ln + c * stride);
  }
}

// The count of values in[k], k < n, that are not whole numbers from
// `lowest` to 255 (a NaN is not).
TAVREL_KERNEL std::ptrdiff_t CountNotWhole(const float* __restrict in, std::ptrdiff_t n,
                                           float lowest) {
  std::ptrdiff_t count = 0;
  for (std::ptrdiff_t k = 0; k < n; ++k) {
    const float v = in[k];
    const bool whole = v >= lowest && v <= 255.0f && v == std::trunc(v);
    count += whole ? 0 : 1;
  }
  return count;
}

// Whether every value of the image is a whole number from `lowest` to 255.
bool WholeIntensities(const FloatArray& image, float lowest) {
  return OnIsaPath<CountNotWhole>(image.data(), static_cast<std::ptrdiff_t>(image.size()),
                                  lowest) == 0;
}

bool InNormalisedRegion(const Geometry& g, int i, int c) {
  return i >= kPixelMargin && i <= g.rows - kPixelMargin - 1 && c >= kPixelMargin &&
         c <= g.columns - kPixelMargin - 1;
}

// Zeroes the cells of plane row i (columns x lanes) outside the valid region;
// false when the whole row lies outside it.
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

// out[c * stride + k] = lanes[c * kLanes + k] for c < columns, k < count.
TAVREL_KERNEL void ScatterLanes(const float* __restrict lanes, int columns, int count,
                                float* __restrict out, std::ptrdiff_t stride) {
  if (count == kLanes) {
    for (int c = 0; c < columns; ++c) {
      const float* from = lanes + static_cast<std::ptrdiff_t>(c) * kLanes;
      float* to = out + c * stride;
#pragma GCC unroll 1
      for (int k = 0; k < kLanes; ++k) to[k] = from[k];
    }
    return;
  }
  for (int c = 0; c < columns; ++c) {
    CopyLanes(lanes + static_cast<std::ptrdiff_t>(c) * kLanes, count, out + c * stride);
  }
}

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

// Rows first .. end - 1 of one block of disparity indices.
struct BlockRows {
  int block = 0;
  int first = 0;
  int end = 0;
};

// Blocks first .. end - 1, every row.
std::vector<BlockRows> WholeBlocks(int first, int end, int rows) {
  std::vector<BlockRows> parts;
  for (int block = first; block < end; ++block) parts.push_back({block, 0, rows});
  return parts;
}

// Thread `thread`'s part of an even share of the blocks' rows among
// `threads`, counted block by block, each block's rows ascending.
std::vector<BlockRows> EvenBlockRows(int blocks, int rows, int thread, int threads) {
  const std::int64_t total = static_cast<std::int64_t>(blocks) * rows;
  const std::int64_t begin = total * thread / threads;
  const std::int64_t end = total * (thread + 1) / threads;
  std::vector<BlockRows> parts;
  for (int block = 0; block < blocks; ++block) {
    const std::int64_t blockBegin = static_cast<std::int64_t>(block) * rows;
    const std::int64_t first = std::max(begin, blockBegin);
    const std::int64_t last = std::min(end, blockBegin + rows);
    if (first < last) {
      parts.push_back(
          {block, static_cast<int>(first - blockBegin), static_cast<int>(last - blockBegin)});
    }
  }
  return parts;
}

// Window means of both images (see MeanImages): band 2b image 0, band 2b + 1
// image 1, at data[(i * columns + c) * lanes + band], lanes = 2B.
struct ImageMeans {
  const float* data = nullptr;
  int columns = 0;
  int lanes = 0;

  float At(int i, int c, int band) const {
    return Row(i)[static_cast<std::size_t>(c) * lanes + band];
  }
  const float* Row(int i) const { return data + static_cast<std::size_t>(i) * columns * lanes; }
};

// Padded planes of one image row (see ShiftedRow), loaded once per row for
// all the blocks of a thread.
class RowCache {
 public:
  RowCache(const Geometry& g, int bands) {
    row_.firstColumn = g.minDisparity;
    row_.span = static_cast<std::size_t>(g.columns) + g.disparities + kLanes;
    row_.planes.assign(row_.span * bands, 0.0f);
  }
  // Image 1's row i over the valid region.
  const ShiftedRow& ImageOne(const FloatArray& image1, const Geometry& g, int i) {
    if (loaded_ != i) LoadShiftedRow(image1, g, i, row_);
    loaded_ = i;
    return row_;
  }
  // Image 1's window means (odd bands of `means`) over the whole row: 0 only
  // outside the grid, as the straightforward code's guarded read gives.
  const ShiftedRow& MeansOfImageOne(const ImageMeans& means, const Geometry& g, int i) {
    if (loaded_ == i) return row_;
    for (int b = 0; b < g.bands; ++b) {
      float* plane = row_.planes.data() + b * row_.span;
      for (int c1 = 0; c1 < g.columns; ++c1) {
        const std::int64_t at = c1 - row_.firstColumn;
        if (at >= 0 && at < static_cast<std::int64_t>(row_.span)) {
          plane[at] = means.At(i, c1, 2 * b + 1);
        }
      }
    }
    loaded_ = i;
    return row_;
  }

 private:
  ShiftedRow row_;
  int loaded_ = -1;
};

// Row i of one block's correlation values: clamped in the normalised region,
// written into L0, and into Ln inside the interior (0 elsewhere). `values`
// holds columns x kLanes floats of scratch.
void CorrelationBlockRow(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
                         const ImageMeans& means, const Geometry& g, BlockStream& block,
                         RowCache& image1Rows, RowCache& meanRows, float* values, int i) {
  const int channels = 3 * g.bands;
  const float* row = block.box.Step(i, [&](int j, float* plane) {
    if (!ClearOutsideValid(g, j, channels * kLanes, plane)) return;
    OnIsaPath<MomentRow>(g, image0.data() + image0.Index(j, 0, 0),
                         image1Rows.ImageOne(image1, g, j), block.k0, kValidFirst,
                         g.columns - kValidFirst, plane);
  });
  const ShiftedRow& mu1Row = meanRows.MeansOfImageOne(means, g, i);
  FloatArray& L0 = *matcher.L0;
  FloatArray& Ln = *matcher.Ln;
  const int firstInterior = kDisparityMargin - block.k0;
  const int lastInterior = g.disparities - kDisparityMargin - 1 - block.k0;
  constexpr int kMaxBandsOnStack = 16;
  std::vector<const float*> mu1Heap;
  const float* mu1Stack[kMaxBandsOnStack];
  const float** mu1 = mu1Stack;
  if (g.bands > kMaxBandsOnStack) {
    mu1Heap.resize(g.bands);
    mu1 = mu1Heap.data();
  }
  for (int b = 0; b < g.bands; ++b) mu1[b] = mu1Row.Band(b) + block.k0;
  OnIsaPath<CorrelationRow>(row, means.Row(i), mu1, g.bands, g.columns, values);
  // The normalised pixels are clamped; the others keep their raw values in L0
  // and 0 in Ln.
  const bool normalisedRow = InNormalisedRegion(g, i, kPixelMargin);
  const int c0 = normalisedRow ? kPixelMargin : g.columns;
  const int c1 = normalisedRow ? std::max(c0, g.columns - kPixelMargin) : g.columns;
  float* l0 = &L0.At(i, 0, block.k0);
  float* ln = &Ln.At(i, 0, block.k0);
  OnIsaPath<ClampRow>(values, c0, c1, block.count, firstInterior, lastInterior, l0, ln,
                      g.disparities);
  for (int c = 0; c < g.columns; ++c) {
    if (c >= c0 && c < c1) continue;
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(c) * g.disparities;
    std::copy_n(values + static_cast<std::ptrdiff_t>(c) * kLanes, block.count, l0 + at);
    std::fill_n(ln + at, block.count, 0.0f);
  }
}

// sums[j] = float sum of values[k * kLanes + j] over k < count, k ascending,
// from 0.
TAVREL_KERNEL void SumIndexMajor(const float* __restrict values, int count,
                                 float* __restrict sums) {
  float s[kLanes] = {};
  for (int k = 0; k < count; ++k) {
    const float* row = values + static_cast<std::ptrdiff_t>(k) * kLanes;
    for (int j = 0; j < kLanes; ++j) s[j] += row[j];
  }
  for (int j = 0; j < kLanes; ++j) sums[j] = s[j];
}

// SAD scaling (v - m) / (1 - m) in double and clamp of n values, flat over
// a run of pixels so that no pixel's count of indices leaves a remainder to
// the vector loop: level[k] is the capped background level of value k's
// pixel, and inner[k] 1 for interior indices and 0 elsewhere. l0 gets the
// results, ln the results times inner (a value is at least 0.08 and finite,
// so that is the value itself, or +0).
TAVREL_KERNEL void ScaleValues(const float* __restrict raw, const float* __restrict level,
                               const float* __restrict inner, float* __restrict l0,
                               float* __restrict ln, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const double m = level[k];
    float v = static_cast<float>((static_cast<double>(raw[k]) - m) / (1.0 - m));
    v = !(v >= kLowestMatchValue) ? kLowestMatchValue : v;
    v = v > 1.0f ? 1.0f : v;
    l0[k] = v;
    ln[k] = v * inner[k];
  }
}

// What the pixel means (the background level before its box mean) of some
// rows span: enough to tell whether their box mean's sums are exact.
struct MeanExtent {
  float leastPositive = std::numeric_limits<float>::infinity();
  float greatest = 0.0f;
  bool unusual = false;  // a negative value, a NaN or an infinity

  void Add(const float* means, int count) {
    for (int c = 0; c < count; ++c) {
      const float m = means[c];
      if (!(m >= 0.0f) || std::isinf(m)) unusual = true;
      if (m > 0.0f) leastPositive = std::min(leastPositive, m);
      greatest = std::max(greatest, m);
    }
  }
  void Merge(const MeanExtent& other) {
    leastPositive = std::min(leastPositive, other.leastPositive);
    greatest = std::max(greatest, other.greatest);
    unusual = unusual || other.unusual;
  }
};

// Whether the running sums of the background level's box mean (radius
// r + 1) are exact in double, so that a band of rows may form its column
// sums afresh and get the sums the straightforward pass carries down from
// the top. They are when every mean is a non-negative multiple of u, the
// last bit of the least positive one (every larger float and every float
// rounding of a sum of them is one too), and no window sum of (2r + 3)^2
// means comes near 2^53 u, below which double holds every multiple of u.
bool ExactMeanSums(const MeanExtent& extent, int radius) {
  if (extent.unusual) return false;
  if (extent.greatest == 0.0f) return true;
  const int side = 2 * (radius + 1) + 1;
  const int unitExponent =
      std::ilogb(extent.leastPositive) - (std::numeric_limits<float>::digits - 1);
  return static_cast<double>(side) * side * extent.greatest <
         std::ldexp(1.0, std::numeric_limits<double>::digits - 1 + unitExponent);
}

// Whether the similarity planes' box sums are exact in double, for any
// window and any starting row, with B bands of images whose intensities are
// all whole numbers from 0 to 255 (byteIntensities). Then each
// band's term 1 - |a - v| / 255 is 0 or at least 1/255 > 2^-8, so each
// pixel's float sum over the bands is 0 or at least 2^-8, and the
// similarity, that sum over B, is 0 or a float above 2^-9 / B: its last bit,
// and that of every larger float, is at least u = 2^-(32 + ceil(log2 B)).
// Window sums stay below 225 < 2^8, and double holds every multiple of u
// below 2^53 u; so B up to 2^13.
bool ExactSadSums(int bands, bool byteIntensities) {
  constexpr int kMostBands = 1 << 13;
  return bands <= kMostBands && byteIntensities;
}

// SAD values of rows first .. end - 1, every disparity index, straight into
// L0 and Ln: the raw values (similarity box means), the background level
// (the mean over the indices, box-averaged with radius r + 1), the scaling
// and the clamp. A band below row 0 starts its box sums afresh, right only
// where ExactSadSums holds and the means it meets pass ExactMeanSums;
// `extent` gathers those means.
//
// The background level of row q needs the raw values of rows up to
// q + r + 1: they wait in a ring of r + 2 rows (L0's layout) until row q is
// scaled, so that each cell of L0 and Ln is written once.
void SadRows(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
             bool byteIntensities, const Geometry& g, int first, int end, float maxScaler,
             MeanExtent& extent) {
  const int r = g.radius;
  const int levelRadius = r + 1;
  const int firstRaw = std::max(0, first - levelRadius);
  const int blocks = (g.disparities + kLanes - 1) / kLanes;
  const std::size_t rawRow = static_cast<std::size_t>(g.columns) * g.disparities;
  const int ringRows = levelRadius + 1;

  ThreadArena& arena = ThreadArena::Mine(0);
  arena.Reset(blocks * StreamingBoxMean::Bytes(g.columns, kLanes, r) +
              StreamingBoxMean::Bytes(g.columns, 1, levelRadius) +
              ThreadArena::Bytes<float>(rawRow * ringRows) + 2 * ThreadArena::Bytes<float>(rawRow) +
              ThreadArena::Bytes<float>(static_cast<std::size_t>(g.disparities) * kLanes));
  std::vector<BlockStream> streams;
  streams.reserve(static_cast<std::size_t>(blocks));
  for (int block = 0; block < blocks; ++block) {
    const int k0 = block * kLanes;
    streams.emplace_back(g, 1, k0, std::min(kLanes, g.disparities - k0), arena, false, firstRaw);
  }
  StreamingBoxMean level(g.rows, g.columns, 1, levelRadius, arena, false, first);
  float* ring = arena.Take<float>(rawRow * ringRows);
  float* indexMajor = arena.Take<float>(static_cast<std::size_t>(g.disparities) * kLanes);
  float* levels = arena.Take<float>(rawRow);
  float* inner = arena.Take<float>(rawRow);
  for (int c = 0; c < g.columns; ++c) {
    for (int k = 0; k < g.disparities; ++k) {
      const bool interior = k >= kDisparityMargin && k < g.disparities - kDisparityMargin;
      inner[static_cast<std::size_t>(c) * g.disparities + k] = interior ? 1.0f : 0.0f;
    }
  }
  auto rawOf = [&](int i) { return ring + static_cast<std::size_t>(i % ringRows) * rawRow; };
  RowCache image1Rows(g, g.bands);

  // Raw values of row j into the ring, and the pixel means of row j: each
  // pixel's values added in float, indices ascending, then divided by D.
  auto makeMeans = [&](int j, float* means) {
    float* raw = rawOf(j);
    for (BlockStream& stream : streams) {
      const float* row = stream.box.Step(j, [&](int i, float* plane) {
        if (!ClearOutsideValid(g, i, kLanes, plane)) return;
        const float* row0 = image0.data() + image0.Index(i, 0, 0);
        const ShiftedRow& shifted = image1Rows.ImageOne(image1, g, i);
        const int lastValid = g.columns - kValidFirst;
        if (byteIntensities) {
          OnIsaPath<ByteSimilarityRow>(g, row0, shifted, stream.k0, kValidFirst, lastValid, plane);
        } else {
          OnIsaPath<SimilarityRow>(g, row0, shifted, stream.k0, kValidFirst, lastValid, plane);
        }
      });
      OnIsaPath<ScatterLanes>(row, g.columns, stream.count, raw + stream.k0, g.disparities);
    }
    const float count = static_cast<float>(g.disparities);  // exact, see ComputeL0
    for (int c0 = 0; c0 < g.columns; c0 += kLanes) {
      const int n = std::min(kLanes, g.columns - c0);
      Transpose(raw + static_cast<std::size_t>(c0) * g.disparities, g.disparities, indexMajor,
                kLanes, n, g.disparities);
      float sums[kLanes];
      OnIsaPath<SumIndexMajor>(indexMajor, g.disparities, sums);
      for (int j = 0; j < n; ++j) means[c0 + j] = sums[j] / count;
    }
    extent.Add(means, g.columns);
  };

  FloatArray& L0 = *matcher.L0;
  FloatArray& Ln = *matcher.Ln;
  const std::size_t D = static_cast<std::size_t>(g.disparities);
  // The normalised columns kPixelMargin .. columns - kPixelMargin - 1 are
  // scaled, the others keep their raw values in L0 and 0 in Ln.
  const int scaledColumns = std::max(g.columns - 2 * kPixelMargin, 0);
  const std::size_t scaledBegin = scaledColumns > 0 ? kPixelMargin * D : rawRow;
  const std::size_t scaledEnd = scaledBegin + scaledColumns * D;
  for (int q = first; q < end; ++q) {
    const float* background = level.Step(q, makeMeans);
    const float* raw = rawOf(q);
    float* l0 = &L0.At(q, 0, 0);
    float* ln = &Ln.At(q, 0, 0);
    const bool scaled = InNormalisedRegion(g, q, kPixelMargin) && scaledColumns > 0;
    const std::size_t keptEnd = scaled ? scaledBegin : rawRow;
    const std::size_t keptBegin = scaled ? scaledEnd : rawRow;
    std::copy_n(raw, keptEnd, l0);
    std::fill_n(ln, keptEnd, 0.0f);
    std::copy(raw + keptBegin, raw + rawRow, l0 + keptBegin);
    std::fill(ln + keptBegin, ln + rawRow, 0.0f);
    if (!scaled) continue;
    for (int c = kPixelMargin; c < kPixelMargin + scaledColumns; ++c) {
      float m = background[c];
      if (m > maxScaler) m = maxScaler;
      std::fill_n(levels + c * D, D, m);
    }
    OnIsaPath<ScaleValues>(raw + scaledBegin, levels + scaledBegin, inner + scaledBegin,
                           l0 + scaledBegin, ln + scaledBegin, scaledEnd - scaledBegin);
  }
}

// The SAD values of the whole volume. Each thread takes a band of rows when
// the box sums are exact, which ExactSadSums tells before and ExactMeanSums
// after: should the means turn out to span too many binades, the volume is
// done again as one band from the top, as the straightforward pass does it.
void ComputeSadValues(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
                      const Geometry& g, float maxScaler) {
  int threads = 1;
#ifdef _OPENMP
  threads = std::min(omp_get_max_threads(), g.rows);
#endif
  const bool bytes = WholeIntensities(image0, 0.0f) && WholeIntensities(image1, 0.0f);
  if (threads > 1 && ExactSadSums(image0.bands(), bytes)) {
    std::vector<MeanExtent> extents(static_cast<std::size_t>(threads));
#pragma omp parallel num_threads(threads)
    {
      const Share rows = ShareOf(g.rows);
      if (rows.first < rows.end) {
        SadRows(matcher, image0, image1, bytes, g, rows.first, rows.end, maxScaler,
                extents[rows.thread]);
      }
    }
    MeanExtent all;
    for (const MeanExtent& e : extents) all.Merge(e);
    if (ExactMeanSums(all, g.radius)) return;
  }
  MeanExtent unused;
  SadRows(matcher, image0, image1, bytes, g, 0, g.rows, maxScaler, unused);
}

// Window means of both images: band 2b image 0, band 2b + 1 image 1 at the
// same column, over the valid region (0 elsewhere); BoxMean(r), streamed row
// by row with the 2B bands in the lanes, into MeansBytes(g) of `shared`.
// With exact sums (whole intensities: every window sum is a whole number
// far below 2^53) the threads take bands of rows, each band's sums formed
// afresh; otherwise one thread runs them down from the top.
std::size_t MeansBytes(const Geometry& g) {
  const int lanes = 2 * g.bands;
  return ThreadArena::Bytes<float>(static_cast<std::size_t>(g.rows) * g.columns * lanes);
}

ImageMeans MeanImages(const FloatArray& image0, const FloatArray& image1, const Geometry& g,
                      ThreadArena& shared, bool exactSums) {
  const int lanes = 2 * g.bands;
  const std::size_t rowSize = static_cast<std::size_t>(g.columns) * lanes;
  float* means = shared.Take<float>(rowSize * g.rows);
#pragma omp parallel if (exactSums)
  {
    const Share rows = ShareOf(g.rows);
    ThreadArena& arena = ThreadArena::Mine(0);
    arena.Reset(StreamingBoxMean::Bytes(g.columns, lanes, g.radius));
    StreamingBoxMean box(g.rows, g.columns, lanes, g.radius, arena, false, rows.first);
    for (int i = rows.first; i < rows.end; ++i) {
      const float* row = box.Step(i, [&](int j, float* plane) {
        if (!ClearOutsideValid(g, j, lanes, plane)) return;
        for (int c = kValidFirst; c <= g.columns - kValidFirst; ++c) {
          float* pixel = plane + static_cast<std::ptrdiff_t>(c) * lanes;
          for (int b = 0; b < g.bands; ++b) {
            pixel[2 * b] = image0.At(j, c, b);
            pixel[2 * b + 1] = image1.Get(j, c, b);
          }
        }
      });
      std::copy_n(row, rowSize, means + static_cast<std::size_t>(i) * rowSize);
    }
  }
  return ImageMeans{means, g.columns, lanes};
}

}  // namespace

// Divisions by the band count and by NumDisparities run in float: for two
// floats a and b, float(double(a) / double(b)) equals the float quotient a / b
// (double carries more than twice float's precision), and both counts are
// whole numbers that float holds exactly up to 2^24. Larger counts take the
// straightforward engine.
void ComputeL0(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
               int winRadL0, float maxScaler, int useSad) {
  ActiveIsaPath();  // chooses the path once, before any thread starts
  constexpr int kExactInFloat = 1 << 24;
  if (image0.bands() > kExactInFloat || matcher.NumDisparities > kExactInFloat) {
    reference::ComputeL0(matcher, image0, image1, winRadL0, maxScaler, useSad);
    return;
  }
  Geometry g;
  g.rows = matcher.Rows;
  g.columns = matcher.Columns;
  g.disparities = matcher.NumDisparities;
  g.minDisparity = matcher.MinDisparity;
  g.bands = image0.bands();
  g.radius = winRadL0;
  AdviseHugePages(*matcher.L0);
  AdviseHugePages(*matcher.Ln);
  TouchPages(*matcher.L0);
  TouchPages(*matcher.Ln);
  if (useSad != 0) {
    if (g.disparities > 0) ComputeSadValues(matcher, image0, image1, g, maxScaler);
    matcher.L0Ready = 1;
    return;
  }
  const int blocks = (g.disparities + kLanes - 1) / kLanes;

  // Image-sized scratch of the calling thread, kept from one job to the next.
  ThreadArena& shared = ThreadArena::Mine(1);
  shared.Reset(MeansBytes(g));
  // Images read from 8-bit files hold whole intensities: their moments are
  // whole numbers up to 255 * 255, and their box means run exactly in float.
  const bool wholeIntensities =
      WholeIntensities(image0, -255.0f) && WholeIntensities(image1, -255.0f);
  const ImageMeans means = MeanImages(image0, image1, g, shared, wholeIntensities);
  const int channels = 3 * g.bands;
  const bool momentsInFloat = ExactInFloat(g.radius) && wholeIntensities;

  // Each thread moves its blocks down the image together, so that the cache
  // lines of a pixel's L0 values are written while they are in cache.
  //
  // Where the box sums are exact they may start at any row. The threads
  // then share out the blocks' rows evenly, a block whose rows are split
  // going to two threads, and each thread begins at its own part of the
  // image and wraps round to the top, so that no two threads write the same
  // rows at the same time: a pixel's values rarely fill whole cache lines,
  // and threads on neighbouring blocks of one row would pass the lines they
  // share back and forth. Otherwise each thread takes whole blocks and runs
  // them from the top.
#pragma omp parallel
  {
    const Share share = ShareOf(blocks);
    const std::vector<BlockRows> mine =
        momentsInFloat ? EvenBlockRows(blocks, g.rows, share.thread, share.threads)
                       : WholeBlocks(share.first, share.end, g.rows);
    const int start =
        momentsInFloat
            ? static_cast<int>(static_cast<std::int64_t>(g.rows) * share.thread / share.threads)
            : 0;
    RowCache image1Rows(g, g.bands);
    RowCache meanRows(g, g.bands);
    // Rows first .. end - 1 of every block of `mine` that has any of them.
    auto runRows = [&](int first, int end) {
      std::vector<BlockRows> parts;
      for (const BlockRows& part : mine) {
        const BlockRows within{part.block, std::max(part.first, first), std::min(part.end, end)};
        if (within.first < within.end) parts.push_back(within);
      }
      ThreadArena& arena = ThreadArena::Mine(0);
      const std::size_t rowValues = static_cast<std::size_t>(g.columns) * kLanes;
      arena.Reset(parts.size() * StreamingBoxMean::Bytes(g.columns, channels * kLanes, g.radius) +
                  ThreadArena::Bytes<float>(rowValues));
      float* values = arena.Take<float>(rowValues);
      std::vector<BlockStream> streams;
      streams.reserve(parts.size());
      for (const BlockRows& part : parts) {
        const int k0 = part.block * kLanes;
        streams.emplace_back(g, channels, k0, std::min(kLanes, g.disparities - k0), arena,
                             momentsInFloat, part.first);
      }
      for (int i = first; i < end; ++i) {
        for (std::size_t p = 0; p < parts.size(); ++p) {
          if (i < parts[p].first || i >= parts[p].end) continue;
          CorrelationBlockRow(matcher, image0, image1, means, g, streams[p], image1Rows, meanRows,
                              values, i);
        }
      }
    };
    runRows(start, g.rows);
    if (start > 0) runRows(0, start);
  }
  matcher.L0Ready = 1;
}

}  // namespace tavrel::fast
