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

void TouchPages(FloatArray& grid) {
  constexpr std::size_t kPageFloats = 4096 / sizeof(float);
  constexpr std::ptrdiff_t kChunkPages = 512;  // one huge page
  float* data = grid.data();
  const std::size_t size = grid.size();
  const std::ptrdiff_t pages = static_cast<std::ptrdiff_t>((size + kPageFloats - 1) / kPageFloats);
  const std::ptrdiff_t chunks = (pages + kChunkPages - 1) / kChunkPages;
#pragma omp parallel for schedule(static)
  for (std::ptrdiff_t chunk = 0; chunk < chunks; ++chunk) {
    const std::ptrdiff_t end = std::min(pages, (chunk + 1) * kChunkPages);
    for (std::ptrdiff_t page = chunk * kChunkPages; page < end; ++page) {
      // A read-modify-write of one value: mapped either way, unchanged.
      volatile float* cell = data + page * kPageFloats;
      *cell = *cell;
    }
  }
}

}  // namespace tavrel::fast
