#include "engine/fast_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tavrel::fast {

void AdviseHugePages(FloatArray& grid) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(grid.data());
  const std::uintptr_t end = begin + grid.size() * sizeof(float);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = end & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)grid;
#endif
}

}  // namespace tavrel::fast
