#include "engine/fast_parallel.h"

#include <atomic>
#include <new>

namespace tavrel::fast {

namespace {

std::atomic<long> resetsBeforeFailure{0};

// Counts a Reset down when a test has asked for a failure; true for the one
// that is to fail.
bool FailThisReset() {
  long left = resetsBeforeFailure.load(std::memory_order_relaxed);
  while (left > 0) {
    if (resetsBeforeFailure.compare_exchange_weak(left, left - 1)) return left == 1;
  }
  return false;
}

}  // namespace

void ThreadArena::FailNthReset(long n) { resetsBeforeFailure.store(n); }

ThreadArena& ThreadArena::Mine(int slot) {
  thread_local ThreadArena arenas[2];
  return arenas[slot];
}

// Through operator new, so that whatever counts the program's heap counts
// the arenas too.
void ThreadArena::Free::operator()(std::byte* p) const {
  ::operator delete (p, std::align_val_t{64});
}

void ThreadArena::Reset(std::size_t bytes) {
  if (FailThisReset()) throw std::bad_alloc();
  if (bytes > capacity_) {
    data_.reset();
    void* p = ::operator new ((bytes + 63) & ~std::size_t{63}, std::align_val_t{64});
    data_.reset(static_cast<std::byte*>(p));
    capacity_ = bytes;
  }
  reserved_ = bytes;
  used_ = 0;
}

void ThreadArena::Release() {
  data_.reset();
  capacity_ = 0;
  reserved_ = 0;
  used_ = 0;
}

void RegionFailure::Rethrow() const {
  if (failed()) std::rethrow_exception(error_);
}

void RegionFailure::Keep(std::exception_ptr error) noexcept {
#pragma omp critical(tavrel_region_failure)
  {
    if (!error_) error_ = error;
    failed_.store(true);
  }
}

}  // namespace tavrel::fast
