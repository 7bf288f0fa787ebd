#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "engine/huge_page_allocator.h"
#include "engine/streamed_stages.h"

namespace tavrel::streamed {

// Hands the rows of one thread's last stage, each with the same row of L0,
// to the stages of the next thread. The producer copies each pair straight
// into the rings the consumer reads, which hold the rows the consumer's
// stages still read and `lead` more: the producer runs up to `lead` rows
// ahead of the newest row the consumer has asked for and waits only beyond
// that, the consumer only for a row not yet handed, so that a thread the
// system takes off its core for a while holds the other up only after the
// lead runs out.
class RowChannel {
 public:
  struct Shape {
    std::size_t rowSize = 0;
    int keepValues = 1;  // rows of values the consumer reads at once
    int keepL0 = 1;      // rows of L0 the consumer reads at once
    int lead = 1;
  };

  explicit RowChannel(const Shape& shape);

  // Producer: the next row and its L0 row.
  void Push(const float* values, const float* l0);
  // Wakes and fails (std::runtime_error) every waiting and later call, so
  // that one thread's failure cannot leave the other waiting for ever.
  void Cancel();

  // Consumer: the rows before its stages and the rows of L0, asked for in
  // any order among the two. Asking for a row hands the consumer every row
  // up to it; of those, the last keepValues (keepL0) stay readable. Reading
  // one that no longer is throws std::logic_error: a fault of the
  // pipeline's schedule, never a stale row.
  RowSource& values() { return values_; }
  RowSource& l0() { return l0_; }

  static std::size_t Bytes(const Shape& shape) {
    const std::size_t row = shape.rowSize * sizeof(float);
    return fast::HugePageBytes(static_cast<std::size_t>(shape.keepValues + shape.lead) * row) +
           fast::HugePageBytes(static_cast<std::size_t>(shape.keepL0 + shape.lead) * row);
  }

 private:
  struct Ring {
    int keep = 0;
    int capacity = 0;
    fast::HugePageVector<float> storage;

    float* Slot(long long row, std::size_t rowSize) {
      return storage.data() + static_cast<std::size_t>(row % capacity) * rowSize;
    }
  };

  class Face : public RowSource {
   public:
    Face(RowChannel& owner, Ring& ring) : owner_(owner), ring_(ring) {}
    const float* Row(int row) override { return owner_.Take(row, ring_); }

   private:
    RowChannel& owner_;
    Ring& ring_;
  };

  const float* Take(int row, Ring& ring);

  Shape shape_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Ring valueRing_;
  Ring l0Ring_;
  Face values_;
  Face l0_;
  long long pushed_ = 0;  // rows handed
  long long asked_ = -1;  // the newest row the consumer has asked for
  bool cancelled_ = false;
};

}  // namespace tavrel::streamed
