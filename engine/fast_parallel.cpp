#include "engine/fast_parallel.h"

#include <new>

#include "engine/fast_engine.h"

namespace tavrel::fast {

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

void ReleaseScratch() {
#pragma omp parallel
  {
    ThreadArena::Mine(0).Release();
    ThreadArena::Mine(1).Release();
  }
}

}  // namespace tavrel::fast
