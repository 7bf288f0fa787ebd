#include "engine/fast_parallel.h"

#include <cstdlib>
#include <new>

namespace tavrel::fast {

ThreadArena& ThreadArena::Mine(int slot) {
  thread_local ThreadArena arenas[2];
  return arenas[slot];
}

void ThreadArena::Free::operator()(std::byte* p) const { std::free(p); }

void ThreadArena::Reset(std::size_t bytes) {
  if (bytes > capacity_) {
    data_.reset();
    void* p = std::aligned_alloc(64, (bytes + 63) & ~std::size_t{63});
    if (!p) throw std::bad_alloc();
    data_.reset(static_cast<std::byte*>(p));
    capacity_ = bytes;
  }
  used_ = 0;
}

}  // namespace tavrel::fast
