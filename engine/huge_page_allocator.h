#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace tavrel::fast {

// Blocks of at least kHugePageMinimum bytes are sized up to whole huge pages
// (2 MB), aligned to one and offered to the system for huge pages; smaller
// ones are plain. A streamed job walks a dozen such blocks (rings and
// column sums) row after row, and on 4 KB pages they missed the address
// translation caches at every page of every one of them.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Low enough for an iteration's column sums (1.8 MB at 1282 x 175): with a
// minimum of 4 MB, which leaves them out, almost none of the gain remained.
inline constexpr std::size_t kHugePageMinimum = std::size_t{1} << 20;

// The bytes a block of `bytes` takes: what the heap figures count.
constexpr std::size_t HugePageBytes(std::size_t bytes) {
  return bytes < kHugePageMinimum ? bytes : (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

// Asks for huge pages on the whole huge pages within [data, data + bytes);
// nothing where the system has none to give.
void AdviseHugePages(void* data, std::size_t bytes);

template <class T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>& /*other*/) {}  // NOLINT: as std::allocator

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugePageMinimum) return static_cast<T*>(::operator new(bytes));
    const std::size_t whole = HugePageBytes(bytes);
    void* data = ::operator new (whole, std::align_val_t{kHugePage});
    AdviseHugePages(data, whole);
    return static_cast<T*>(data);
  }
  void deallocate(T* data, std::size_t n) {
    if (n * sizeof(T) < kHugePageMinimum) {
      ::operator delete(data);
    } else {
      ::operator delete (data, std::align_val_t{kHugePage});
    }
  }

  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }
};

template <class T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace tavrel::fast
