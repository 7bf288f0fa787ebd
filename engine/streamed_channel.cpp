#include "engine/streamed_channel.h"

#include <algorithm>
#include <stdexcept>

namespace tavrel::streamed {

RowChannel::RowChannel(int slots, std::size_t rowSize)
    : storage_(static_cast<std::size_t>(slots) * 2 * rowSize), slots_(slots), rowSize_(rowSize) {}

void RowChannel::Push(const float* values, const float* l0) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return cancelled_ || pushed_ - popped_ < slots_; });
  if (cancelled_) throw std::runtime_error("RowChannel: cancelled");
  float* slot = storage_.data() + static_cast<std::size_t>(pushed_ % slots_) * 2 * rowSize_;
  // The slot is free until the push is published: the copy can run unlocked.
  lock.unlock();
  std::copy_n(values, rowSize_, slot);
  std::copy_n(l0, rowSize_, slot + rowSize_);
  lock.lock();
  ++pushed_;
  changed_.notify_all();
}

void RowChannel::Pop(float* values, float* l0) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return cancelled_ || pushed_ > popped_; });
  if (cancelled_) throw std::runtime_error("RowChannel: cancelled");
  const float* slot = storage_.data() + static_cast<std::size_t>(popped_ % slots_) * 2 * rowSize_;
  lock.unlock();
  std::copy_n(slot, rowSize_, values);
  std::copy_n(slot + rowSize_, rowSize_, l0);
  lock.lock();
  ++popped_;
  changed_.notify_all();
}

void RowChannel::Cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  changed_.notify_all();
}

ChannelSource::ChannelSource(RowChannel& channel, std::size_t rowSize, int keepValues, int keepL0)
    : channel_(channel),
      valueRing_(keepValues, rowSize),
      l0Ring_(keepL0, rowSize),
      values_(*this, valueRing_),
      l0_(*this, l0Ring_) {}

void ChannelSource::PopUpTo(int row) {
  while (valueRing_.newest() < row) {
    const int next = valueRing_.newest() + 1;
    channel_.Pop(valueRing_.Make(next), l0Ring_.Make(next));
  }
}

}  // namespace tavrel::streamed
