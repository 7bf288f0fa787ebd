#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "engine/fast_parallel.h"

namespace tavrel::fast {

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
  // Lanes in groups of this many keep their row sums in vector registers
  // along a row; only such lanes may be written to a stride of their own.
  static constexpr int kGroupLanes = 16;

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
    StepInto(i, makeRow, out_, lanes_);
    return out_;
  }

  // The same, with the filtered row's column c written to to + c * stride
  // (lanes floats each) instead; a stride other than the lanes needs lanes
  // in groups (a multiple of kGroupLanes, such as one block's).
  template <typename MakeRow>
  void StepInto(int i, MakeRow&& makeRow, float* to, std::ptrdiff_t stride) {
    if (stride != lanes_ && lanes_ % kGroupLanes != 0) {
      throw std::logic_error("StreamingBoxMean: a stride needs lanes in sixteens");
    }
    for (; made_ <= std::min(i + radius_, rows_ - 1); ++made_) makeRow(made_, Slot(made_));
    if (active_ && i >= radius_ && i <= rows_ - radius_ - 1) {
      InnerRow(i, to, stride);
    } else {
      EdgeRow(i, to, stride);
    }
  }

 private:
  float* Slot(int i) { return ring_ + static_cast<std::size_t>(i % ringRows_) * rowSize_; }

  void InnerRow(int i, float* to, std::ptrdiff_t stride);
  void EdgeRow(int i, float* to, std::ptrdiff_t stride);

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
inline bool ExactInFloat(int radius) { return radius <= 7; }

}  // namespace tavrel::fast
