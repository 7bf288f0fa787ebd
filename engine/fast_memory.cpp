#include "engine/fast_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine/huge_page_allocator.h"

namespace tavrel::fast {

void AdviseHugePages(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  // Only whole huge pages inside the block: madvise needs page-aligned bounds.
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t end = begin + bytes;
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = end & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

void AdviseHugePages(FloatArray& grid) {
  AdviseHugePages(grid.data(), grid.size() * sizeof(float));
}

}  // namespace tavrel::fast
