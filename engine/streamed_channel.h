#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "engine/streamed_rows.h"
#include "engine/streamed_stages.h"

namespace tavrel::streamed {

// Hands the rows of one thread's last stage, each with the same row of L0,
// to the stages of the next thread, through a fixed number of slots. The
// producer waits only when every slot is full and the consumer only when
// all are empty, so that a thread the system takes off its core for a
// while holds the other up only after the slots run out.
class RowChannel {
 public:
  RowChannel(int slots, std::size_t rowSize);

  // Producer: copies the row and its L0 row into the next slot.
  void Push(const float* values, const float* l0);
  // Consumer: copies the oldest row and its L0 row out of their slot.
  void Pop(float* values, float* l0);
  // Wakes and fails (std::runtime_error) every waiting and later call, so
  // that one thread's failure cannot leave the other waiting for ever.
  void Cancel();

  static std::size_t Bytes(int slots, std::size_t rowSize) {
    return static_cast<std::size_t>(slots) * 2 * rowSize * sizeof(float);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<float> storage_;
  int slots_;
  std::size_t rowSize_;
  long long pushed_ = 0;
  long long popped_ = 0;
  bool cancelled_ = false;
};

// The consumer's side of a channel as the stages see it: the rows of the
// grid before them, of which the last `keepValues` stay readable, and the
// rows of L0, of which the last `keepL0` do.
class ChannelSource {
 public:
  ChannelSource(RowChannel& channel, std::size_t rowSize, int keepValues, int keepL0);

  RowSource& values() { return values_; }
  RowSource& l0() { return l0_; }

  static std::size_t Bytes(std::size_t rowSize, int keepValues, int keepL0) {
    return RowRing::Bytes(keepValues, rowSize) + RowRing::Bytes(keepL0, rowSize);
  }

 private:
  void PopUpTo(int row);

  class Face : public RowSource {
   public:
    Face(ChannelSource& owner, RowRing& ring) : owner_(owner), ring_(ring) {}
    const float* Row(int row) override {
      owner_.PopUpTo(row);
      return ring_.Row(row);
    }

   private:
    ChannelSource& owner_;
    RowRing& ring_;
  };

  RowChannel& channel_;
  RowRing valueRing_;
  RowRing l0Ring_;
  Face values_;
  Face l0_;
};

}  // namespace tavrel::streamed
