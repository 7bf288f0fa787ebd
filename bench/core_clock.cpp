#include "bench/core_clock.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace tavrel::bench {

double CoreCyclesPerSecond() {
  constexpr std::int64_t kSteps = 50'000'000;
  double best = 0.0;
  for (int round = 0; round < 5; ++round) {
    std::uint64_t x = 0;
    const auto start = std::chrono::steady_clock::now();
    for (std::int64_t i = 0; i < kSteps; i += 8) {
      // Eight additions, each waiting for the one before; the empty asm keeps
      // the compiler from folding them. The loop's own counter runs beside.
      for (int k = 0; k < 8; ++k) {
        x += 1;
        asm volatile("" : "+r"(x));
      }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::max(best, static_cast<double>(kSteps) / took.count());
  }
  return best;
}

}  // namespace tavrel::bench
