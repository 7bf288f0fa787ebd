#include "bench/arithmetic_floor.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "engine/fast_isa.h"
#include "engine/fast_parallel.h"

namespace tavrel::bench {
namespace {

using fast::OnIsaPath;

// A block small enough for all of its arrays to stay in the first-level
// cache of one core.
constexpr std::size_t kBlock = 512;

// One step of a running sum as the box sums take it: subtract the leaving
// value and add the entering one in double, store the sum as a float.
TAVREL_KERNEL void RunningSumStep(double* __restrict sum, const float* __restrict leave,
                                  const float* __restrict enter, float* __restrict out,
                                  std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const double x = (sum[k] - leave[k]) + enter[k];
    sum[k] = x;
    out[k] = static_cast<float>(x);
  }
}

// The two line sums take each support once, in float.
TAVREL_KERNEL void LineSums(const float* __restrict support, float* __restrict image0,
                            float* __restrict image1, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    image0[k] += support[k];
    image1[k] += support[k];
  }
}

// The new value from support, total and initial value.
TAVREL_KERNEL void Share(const float* __restrict support, const float* __restrict total,
                         const float* __restrict initial, float* __restrict out, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const float t = total[k];
    float v = t != 0.0f ? support[k] / t : support[k];
    v = v < 0.0f ? 0.0f : v;
    out[k] = initial[k] * (v * v);
  }
}

struct Block {
  std::vector<double> sums[3];
  std::vector<float> leave, enter, stage[3], image0, image1, initial, out;

  Block()
      : leave(kBlock, 0.25f),
        enter(kBlock, 0.25f),
        image0(kBlock, 1.0f),
        image1(kBlock, 1.0f),
        initial(kBlock, 0.5f),
        out(kBlock) {
    for (auto& s : sums) s.assign(kBlock, 1.0);
    for (auto& s : stage) s.assign(kBlock, 0.0f);
  }

  // The same values go round every time, so nothing grows or turns subnormal.
  void Pass() {
    OnIsaPath<RunningSumStep>(sums[0].data(), leave.data(), enter.data(), stage[0].data(), kBlock);
    OnIsaPath<RunningSumStep>(sums[1].data(), leave.data(), stage[0].data(), stage[1].data(),
                              kBlock);
    OnIsaPath<RunningSumStep>(sums[2].data(), enter.data(), stage[1].data(), stage[2].data(),
                              kBlock);
    OnIsaPath<LineSums>(stage[2].data(), image0.data(), image1.data(), kBlock);
    OnIsaPath<Share>(stage[2].data(), image0.data(), initial.data(), out.data(), kBlock);
    std::fill_n(image0.data(), kBlock, 1.0f);
  }
};

}  // namespace

double ArithmeticFloorPerCell(int threads) {
  constexpr int kPasses = 20000;
  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
#pragma omp parallel num_threads(threads)
    {
      Block block;
      for (int p = 0; p < kPasses; ++p) block.Pass();
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best / (static_cast<double>(kPasses) * kBlock * threads);
}

}  // namespace tavrel::bench
