#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "engine/huge_page_allocator.h"

// Building blocks of the streamed job: rows of a grid made top to bottom,
// kept in rings that hold only the rows a later step still reads.
namespace tavrel::streamed {

// How many threads the row kernels may use; any count gives the same values.
struct Threads {
  int count = 1;
};

// The threads worth waking for a loop over `cells` cells of a row: one per
// kCellsPerThread cells at most, since a thread's start and the barrier
// after it cost about as much as that many cells.
inline constexpr std::ptrdiff_t kCellsPerThread = 8192;
int ThreadsFor(std::ptrdiff_t cells, Threads threads);

// The last `capacity` rows made of a grid whose rows hold `rowSize` floats.
// Rows are made in ascending order, each once; reading a row that was never
// made or has already left the ring is a fault of the pipeline's schedule
// and throws std::logic_error, so that it can never read stale values.
class RowRing {
 public:
  RowRing(int capacity, std::size_t rowSize);

  // The slot for the next row, `row` (one more than the newest made).
  float* Make(int row);
  const float* Row(int row) const;
  int newest() const { return newest_; }

  static std::size_t Bytes(int capacity, std::size_t rowSize) {
    return fast::HugePageBytes(static_cast<std::size_t>(capacity) * rowSize * sizeof(float));
  }

 private:
  fast::HugePageVector<float> storage_;
  int capacity_;
  std::size_t rowSize_;
  int newest_ = -1;
};

// Row `row` (columns x bands floats) of the input of a box filter. The
// source keeps each row it hands readable while the filter makes the next
// 2r + 1 output rows: WindowRows(r) rows in all.
using RowFetch = std::function<const float*(int row)>;

// The box sum of radius r of a grid of `rows` rows that arrives row by row,
// with exactly the values FloatArray::BoxSum leaves:
// per (column, band) a double running sum carried down the inner columns
// (started with rows 0 .. 2r added in order, then one subtraction and one
// addition per row), a row pass with a double running sum along each inner
// row, edge rows and columns keeping their input.
//
// Input rows are asked of `fetch` in ascending order and read where the
// source holds them, never more than WindowRows(r) of them at once. Output
// rows are asked for in ascending order (rows may be skipped); output row i
// needs input rows i - r - 1 .. i + r.
class StreamedBox {
 public:
  struct Shape {
    int rows = 0;
    int columns = 0;
    int bands = 0;
    int radius = 0;
  };

  StreamedBox(const Shape& shape, RowFetch fetch, Threads threads);

  // The input rows the filter reads at once: the rows of one output row's
  // window and the one that leaves it.
  static int WindowRows(int radius) { return 2 * radius + 2; }

  // Writes output row `row` (columns x bands floats) to out.
  void Row(int row, float* out);

  // Told, as a row made in chunks gets its values, that out's columns
  // [0, columns) hold theirs.
  using ColumnsReady = std::function<void(int columns)>;

  // Row(row, out) on one thread, a few columns at a time: a chunk's column
  // sums go into the row pass while they are still in the core's cache.
  // `ready` follows every chunk, with ascending counts, the last time with
  // every column.
  void RowInChunks(int row, float* out, const ColumnsReady& ready);

  // Columns of a chunk: of 16 to 256, 128 ran fastest on rows of 450 and
  // 1282 pixels (60 and 175 indices).
  static constexpr int kChunkColumns = 128;

  // The heap the box holds: its column sums and its row of column sums.
  static std::size_t Bytes(const Shape& shape);

 private:
  static bool Filters(const Shape& shape);
  bool InnerRow(int row) const;
  void CopyEdgeColumns(const float* in, float* out);
  const float* Input(int row) { return fetch_(row); }
  void AdvanceColumnSums(int row, float* rounded);
  void RowPass(const float* columnRow, float* out);

  Shape shape_;
  RowFetch fetch_;
  Threads threads_;
  std::size_t rowSize_;
  bool filters_;                             // false when the grid is too small for one window
  fast::HugePageVector<double> columnSums_;  // inner columns x bands
  std::vector<float> columnRow_;             // one row after the column pass
  std::vector<double> rowSums_;              // one per band, for the row pass
  int sumsRow_ = -1;                         // the row columnSums_ belong to
};

}  // namespace tavrel::streamed
