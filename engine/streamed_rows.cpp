#include "engine/streamed_rows.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/fast_isa.h"
#include "engine/fast_running_sums.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tavrel::streamed {
namespace {

// The output columns [from, to) of a row pass: part of r .. columns - r - 1.
struct ColumnSpan {
  int from = 0;
  int to = 0;
};

// BoxSumLine along a row of `columns` pixels for the bands b0 .. b1 - 1, over
// the output columns of `span`: they get the double running sums of the
// 2r + 1 columns of `in` around them, rounded once. The sums start at column
// r and wait in sums[b] between the spans of one row, which come in order.
TAVREL_KERNEL void RowRunningSums(const float* __restrict in, float* __restrict out,
                                  double* __restrict sums, int columns, int bands, int r, int b0,
                                  int b1, ColumnSpan span) {
  auto at = [in, bands](int column) { return in + static_cast<std::ptrdiff_t>(column) * bands; };
  const int last = columns - r - 1;
  if (span.from == r) {
    for (int b = b0; b < b1; ++b) sums[b] = at(0)[b];
    for (int k = 1; k <= 2 * r; ++k) {
      const float* cell = at(k);
      for (int b = b0; b < b1; ++b) sums[b] += cell[b];
    }
  }
  // Each column's sums are stored and moved on in one sweep over the bands.
  for (int c = span.from; c < std::min(span.to, last); ++c) {
    float* cell = out + static_cast<std::ptrdiff_t>(c) * bands;
    const float* leave = at(c - r);
    const float* enter = at(c + r + 1);
    for (int b = b0; b < b1; ++b) {
      cell[b] = static_cast<float>(sums[b]);
      sums[b] = (sums[b] - leave[b]) + enter[b];
    }
  }
  if (span.to <= last) return;
  float* cell = out + static_cast<std::ptrdiff_t>(last) * bands;
  for (int b = b0; b < b1; ++b) cell[b] = static_cast<float>(sums[b]);
}

#if defined(__x86_64__)
__attribute__((target("avx2"), always_inline)) inline __m256d Wide(const float* from) {
  return _mm256_cvtps_pd(_mm_loadu_ps(from));
}

// RowRunningSums for the bands b .. b + 4V - 1, their V vectors of four
// double sums held in registers along the span instead of going to memory
// and back at every column; each lane takes the scalar sequence.
template <int V>
__attribute__((target("avx2"), always_inline)) inline void RowSumsInRegisters(
    const float* __restrict in, float* __restrict out, double* __restrict state, int columns,
    int bands, int r, int b, ColumnSpan span) {
  auto at = [in, bands, b](int column) {
    return in + static_cast<std::ptrdiff_t>(column) * bands + b;
  };
  const int last = columns - r - 1;
  __m256d sums[V];
  if (span.from == r) {
    for (int v = 0; v < V; ++v) sums[v] = Wide(at(0) + 4 * v);
    for (int k = 1; k <= 2 * r; ++k) {
      for (int v = 0; v < V; ++v) sums[v] = _mm256_add_pd(sums[v], Wide(at(k) + 4 * v));
    }
  } else {
    for (int v = 0; v < V; ++v) sums[v] = _mm256_loadu_pd(state + b + 4 * v);
  }
  for (int c = span.from; c < std::min(span.to, last); ++c) {
    float* cell = out + static_cast<std::ptrdiff_t>(c) * bands + b;
    const float* leave = at(c - r);
    const float* enter = at(c + r + 1);
    for (int v = 0; v < V; ++v) {
      _mm_storeu_ps(cell + 4 * v, _mm256_cvtpd_ps(sums[v]));
      sums[v] = _mm256_add_pd(_mm256_sub_pd(sums[v], Wide(leave + 4 * v)), Wide(enter + 4 * v));
    }
  }
  if (span.to <= last) {
    for (int v = 0; v < V; ++v) _mm256_storeu_pd(state + b + 4 * v, sums[v]);
    return;
  }
  float* cell = out + static_cast<std::ptrdiff_t>(last) * bands + b;
  for (int v = 0; v < V; ++v) _mm_storeu_ps(cell + 4 * v, _mm256_cvtpd_ps(sums[v]));
}

// RowRunningSums in blocks of 16, 8 and 4 bands; the last bands, fewer
// than four, as the loop does them.
__attribute__((target("avx2"))) void RowRunningSumsAvx2(const float* in, float* out, double* sums,
                                                        int columns, int bands, int r, int b0,
                                                        int b1, ColumnSpan span) {
  int b = b0;
  for (; b + 16 <= b1; b += 16) RowSumsInRegisters<4>(in, out, sums, columns, bands, r, b, span);
  if (b + 8 <= b1) {
    RowSumsInRegisters<2>(in, out, sums, columns, bands, r, b, span);
    b += 8;
  }
  if (b + 4 <= b1) {
    RowSumsInRegisters<1>(in, out, sums, columns, bands, r, b, span);
    b += 4;
  }
  if (b < b1) RowRunningSums(in, out, sums, columns, bands, r, b, b1, span);
}
#endif

// One thread's row pass over the bands b0 .. b1 - 1 of `span`.
void RowPassPiece(const float* in, float* out, double* sums, int columns, int bands, int r, int b0,
                  int b1, ColumnSpan span) {
#if defined(__x86_64__)
  if (fast::PathHasAvx()) {
    RowRunningSumsAvx2(in, out, sums, columns, bands, r, b0, b1, span);
    return;
  }
#endif
  fast::OnIsaPath<RowRunningSums>(in, out, sums, columns, bands, r, b0, b1, span);
}

}  // namespace
int ThreadsFor(std::ptrdiff_t cells, Threads threads) {
  const std::ptrdiff_t useful = std::max<std::ptrdiff_t>(1, cells / kCellsPerThread);
  return static_cast<int>(std::min<std::ptrdiff_t>(std::max(threads.count, 1), useful));
}

RowRing::RowRing(int capacity, std::size_t rowSize)
    : storage_(static_cast<std::size_t>(capacity) * rowSize),
      capacity_(capacity),
      rowSize_(rowSize) {}

float* RowRing::Make(int row) {
  if (row != newest_ + 1) {
    throw std::logic_error("RowRing: row " + std::to_string(row) + " made after row " +
                           std::to_string(newest_));
  }
  newest_ = row;
  return storage_.data() + static_cast<std::size_t>(row % capacity_) * rowSize_;
}

const float* RowRing::Row(int row) const {
  if (row > newest_ || row <= newest_ - capacity_ || row < 0) {
    throw std::logic_error("RowRing: row " + std::to_string(row) + " is not held (newest " +
                           std::to_string(newest_) + ", capacity " + std::to_string(capacity_) +
                           ")");
  }
  return storage_.data() + static_cast<std::size_t>(row % capacity_) * rowSize_;
}

bool StreamedBox::Filters(const Shape& shape) {
  return shape.rows >= 2 * shape.radius + 1 && shape.columns >= 2 * shape.radius + 1;
}

std::size_t StreamedBox::Bytes(const Shape& shape) {
  if (!Filters(shape)) return 0;
  const std::size_t rowSize = static_cast<std::size_t>(shape.columns) * shape.bands;
  const std::size_t inner = static_cast<std::size_t>(shape.columns - 2 * shape.radius);
  return fast::HugePageBytes(inner * shape.bands * sizeof(double)) + rowSize * sizeof(float) +
         static_cast<std::size_t>(shape.bands) * sizeof(double);
}

StreamedBox::StreamedBox(const Shape& shape, RowFetch fetch, Threads threads)
    : shape_(shape),
      fetch_(std::move(fetch)),
      threads_(threads),
      rowSize_(static_cast<std::size_t>(shape.columns) * shape.bands),
      filters_(Filters(shape)) {
  if (filters_) {
    columnSums_.resize(static_cast<std::size_t>(shape.columns - 2 * shape.radius) * shape.bands);
    columnRow_.resize(rowSize_);
    rowSums_.resize(static_cast<std::size_t>(shape.bands));
  }
}

// Brings the column sums to `row` (radius <= row <= rows - radius - 1) the
// way BoxSum's column pass carries them: rows 0 .. 2r added in order for the
// first inner row, then per row (sum - leaving row) + entering row; and
// writes them rounded to float into `rounded`.
void StreamedBox::AdvanceColumnSums(int row, float* rounded) {
  const int r = shape_.radius;
  const std::size_t offset = static_cast<std::size_t>(r) * shape_.bands;
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(columnSums_.size());
  double* sums = columnSums_.data();
  const int pieces = ThreadsFor(n, threads_);
  // Each piece of the cells is one thread's, the same cells for any count.
  auto split = [n, pieces](int piece, std::ptrdiff_t& begin, std::ptrdiff_t& end) {
    begin = n * piece / pieces;
    end = n * (piece + 1) / pieces;
  };
  if (sumsRow_ < 0) {
    const float* first = Input(0) + offset;
    std::copy_n(first, n, sums);
    for (int j = 1; j <= 2 * r; ++j) {
      const float* in = Input(j) + offset;
#pragma omp parallel for num_threads(pieces) schedule(static)
      for (int piece = 0; piece < pieces; ++piece) {
        std::ptrdiff_t begin = 0, end = 0;
        split(piece, begin, end);
        fast::OnIsaPath<fast::StepSumsOf<double>>(sums + begin, nullptr, in + begin, nullptr,
                                                  static_cast<std::size_t>(end - begin));
      }
    }
    sumsRow_ = r;
  }
  while (sumsRow_ < row) {
    const float* enter = Input(sumsRow_ + r + 1) + offset;
    const float* leave = Input(sumsRow_ - r) + offset;
    // The last step also rounds, sparing a pass over the sums.
    float* out = sumsRow_ + 1 == row ? rounded : nullptr;
#pragma omp parallel for num_threads(pieces) schedule(static)
    for (int piece = 0; piece < pieces; ++piece) {
      std::ptrdiff_t begin = 0, end = 0;
      split(piece, begin, end);
      fast::OnIsaPath<fast::StepSumsOf<double>>(sums + begin, leave + begin, enter + begin,
                                                out ? out + begin : nullptr,
                                                static_cast<std::size_t>(end - begin));
    }
    if (out) rounded = nullptr;
    ++sumsRow_;
  }
  if (rounded) {
    fast::OnIsaPath<fast::StepSumsOf<double>>(sums, nullptr, nullptr, rounded,
                                              static_cast<std::size_t>(n));
  }
}

// BoxSumLine along the row for every band at once: out's inner columns get
// the running sums of columnRow's 2r + 1 columns around them. The sums run
// along the whole row from column 0, so the threads share the bands, never
// the columns.
void StreamedBox::RowPass(const float* columnRow, float* out) {
  const int bands = shape_.bands;
  const int threads = ThreadsFor(static_cast<std::ptrdiff_t>(rowSize_), threads_);
  const int pieces = std::min(threads, bands);
  const ColumnSpan whole{shape_.radius, shape_.columns - shape_.radius};
#pragma omp parallel for num_threads(pieces) schedule(static)
  for (int piece = 0; piece < pieces; ++piece) {
    const int b0 = static_cast<int>(static_cast<std::int64_t>(bands) * piece / pieces);
    const int b1 = static_cast<int>(static_cast<std::int64_t>(bands) * (piece + 1) / pieces);
    RowPassPiece(columnRow, out, rowSums_.data(), shape_.columns, bands, shape_.radius, b0, b1,
                 whole);
  }
}

bool StreamedBox::InnerRow(int row) const {
  return filters_ && row >= shape_.radius && row <= shape_.rows - shape_.radius - 1;
}

// Edge columns enter the row pass, and stay, with their input values.
void StreamedBox::CopyEdgeColumns(const float* in, float* out) {
  const std::size_t edge = static_cast<std::size_t>(shape_.radius) * shape_.bands;
  const std::size_t innerCount = columnSums_.size();
  for (float* to : {columnRow_.data(), out}) {
    std::copy_n(in, edge, to);
    std::copy_n(in + edge + innerCount, rowSize_ - edge - innerCount, to + edge + innerCount);
  }
}

void StreamedBox::Row(int row, float* out) {
  const std::size_t edge = static_cast<std::size_t>(shape_.radius) * shape_.bands;
  if (!InnerRow(row)) {
    const float* in = Input(row);
    std::copy_n(in, rowSize_, out);
    return;
  }
  AdvanceColumnSums(row, columnRow_.data() + edge);
  CopyEdgeColumns(Input(row), out);
  RowPass(columnRow_.data(), out);
}

void StreamedBox::RowInChunks(int row, float* out, const ColumnsReady& ready) {
  const int r = shape_.radius;
  const int columns = shape_.columns;
  if (!InnerRow(row)) {
    Row(row, out);
    ready(columns);
    return;
  }
  // Every input row is fetched before out is written: the source may be a
  // stage that shares the caller's scratch.
  AdvanceColumnSums(row > r ? row - 1 : r, nullptr);
  const bool steps = sumsRow_ < row;
  const float* leave = steps ? Input(row - r - 1) : nullptr;
  const float* enter = steps ? Input(row + r) : nullptr;
  CopyEdgeColumns(Input(row), out);
  sumsRow_ = row;

  const int bands = shape_.bands;
  const int last = columns - r - 1;
  double* sums = columnSums_.data();
  float* columnRow = columnRow_.data();
  // The column sums of inner columns up to `summed` - 1 are made.
  int summed = r;
  for (int from = r; from <= last; from += kChunkColumns) {
    const int to = std::min(from + kChunkColumns, last + 1);
    // The row pass up to column to - 1 reads column sums up to column to + r.
    const int need = std::min(to + r + 1, last + 1);
    const std::ptrdiff_t begin = static_cast<std::ptrdiff_t>(summed - r) * bands;
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(need - summed) * bands;
    const std::ptrdiff_t at = begin + static_cast<std::ptrdiff_t>(r) * bands;
    fast::OnIsaPath<fast::StepSumsOf<double>>(sums + begin, leave ? leave + at : nullptr,
                                              enter ? enter + at : nullptr, columnRow + at,
                                              static_cast<std::size_t>(n));
    summed = need;
    RowPassPiece(columnRow, out, rowSums_.data(), columns, bands, r, 0, bands, {from, to});
    ready(to == last + 1 ? columns : to);
  }
}

}  // namespace tavrel::streamed
