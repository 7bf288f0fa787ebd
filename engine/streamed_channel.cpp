#include "engine/streamed_channel.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace tavrel::streamed {

RowChannel::RowChannel(const Shape& shape)
    : shape_(shape),
      valueRing_{shape.keepValues, shape.keepValues + shape.lead,
                 fast::HugePageVector<float>(
                     static_cast<std::size_t>(shape.keepValues + shape.lead) * shape.rowSize)},
      l0Ring_{shape.keepL0, shape.keepL0 + shape.lead,
              fast::HugePageVector<float>(static_cast<std::size_t>(shape.keepL0 + shape.lead) *
                                          shape.rowSize)},
      values_(*this, valueRing_),
      l0_(*this, l0Ring_) {}

// Row p goes where row p - keep - lead was, in each ring: once the
// consumer has asked for row p - lead, that row is no longer read.
void RowChannel::Push(const float* values, const float* l0) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return cancelled_ || pushed_ <= asked_ + shape_.lead; });
  if (cancelled_) throw std::runtime_error("RowChannel: cancelled");
  const long long row = pushed_;
  // The slots are the producer's until the row is published: the copy can run unlocked.
  lock.unlock();
  std::copy_n(values, shape_.rowSize, valueRing_.Slot(row, shape_.rowSize));
  std::copy_n(l0, shape_.rowSize, l0Ring_.Slot(row, shape_.rowSize));
  lock.lock();
  ++pushed_;
  changed_.notify_all();
}

const float* RowChannel::Take(int row, Ring& ring) {
  std::unique_lock lock(mutex_);
  if (row > asked_) {
    asked_ = row;
    changed_.notify_all();
  }
  changed_.wait(lock, [this, row] { return cancelled_ || pushed_ > row; });
  if (cancelled_) throw std::runtime_error("RowChannel: cancelled");
  if (row < 0 || row <= asked_ - ring.keep) {
    throw std::logic_error("RowChannel: row " + std::to_string(row) + " is not held (newest " +
                           std::to_string(asked_) + ", keeps " + std::to_string(ring.keep) + ")");
  }
  return ring.Slot(row, shape_.rowSize);
}

void RowChannel::Cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  changed_.notify_all();
}

}  // namespace tavrel::streamed
