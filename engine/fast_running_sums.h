#pragma once

#include <algorithm>
#include <cstddef>

#include "engine/fast_isa.h"
#include "engine/stage_arithmetic.h"

// The running-sum kernels of the fast stages: a whole row of window sums
// started or moved one step at a time, each lane exactly as the
// straightforward BoxSum moves its single sum (SlideWindowSum). Called through
// OnIsaPath.
namespace tavrel::fast {

// sums[k] = rows[0][k], then sums[k] += rows[j][k] for j = 1 .. count - 1;
// values = the sums rounded to float.
template <typename Sum>
TAVREL_KERNEL void StartSumsOf(Sum* __restrict sums, const float* const* rows, int count,
                               float* __restrict values, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) sums[k] = rows[0][k];
  for (int j = 1; j < count; ++j) {
    const float* row = rows[j];
    for (std::size_t k = 0; k < n; ++k) sums[k] += row[k];
  }
  for (std::size_t k = 0; k < n; ++k) values[k] = static_cast<float>(sums[k]);
}

// state[k] = sum of first[j * stride + k] over j < count, ascending, in
// double (0 when count is 0), for k < n.
TAVREL_KERNEL void StartStridedSums(double* __restrict state, const float* __restrict first,
                                    std::ptrdiff_t stride, int count, std::size_t n) {
  if (count == 0) {
    std::fill_n(state, n, 0.0);
    return;
  }
  for (std::size_t k = 0; k < n; ++k) state[k] = first[k];
  for (int j = 1; j < count; ++j) {
    const float* row = first + j * stride;
    for (std::size_t k = 0; k < n; ++k) state[k] += row[k];
  }
}

// sums[k] = SlideWindowSum(sums[k], leave[k], enter[k]) for k < n; out[k]
// gets the new sums rounded to float. A null leave or enter row stands for a
// row of zeros, whose subtraction or addition changes nothing; a null out
// takes no values.
template <typename Sum>
TAVREL_KERNEL void StepSumsOf(Sum* __restrict sums, const float* __restrict leave,
                              const float* __restrict enter, float* __restrict out, std::size_t n) {
  if (!out) {
    if (leave && enter) {
      for (std::size_t k = 0; k < n; ++k) sums[k] = SlideWindowSum(sums[k], leave[k], enter[k]);
    } else if (leave) {
      for (std::size_t k = 0; k < n; ++k) sums[k] -= leave[k];
    } else if (enter) {
      for (std::size_t k = 0; k < n; ++k) sums[k] += enter[k];
    }
    return;
  }
  if (leave && enter) {
    for (std::size_t k = 0; k < n; ++k) {
      const Sum x = SlideWindowSum(sums[k], leave[k], enter[k]);
      sums[k] = x;
      out[k] = static_cast<float>(x);
    }
  } else if (leave) {
    for (std::size_t k = 0; k < n; ++k) {
      const Sum x = sums[k] - leave[k];
      sums[k] = x;
      out[k] = static_cast<float>(x);
    }
  } else if (enter) {
    for (std::size_t k = 0; k < n; ++k) {
      const Sum x = sums[k] + enter[k];
      sums[k] = x;
      out[k] = static_cast<float>(x);
    }
  } else {
    for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<float>(sums[k]);
  }
}

// Two steps of StepSumsOf in one sweep, with no null rows: out1 gets the sums
// after the first, out2 those after the second. The sums are loaded and
// stored once for both, which halves their share of the traffic.
TAVREL_KERNEL void StepSumsTwice(double* __restrict state, const float* __restrict leave1,
                                 const float* __restrict enter1, float* __restrict out1,
                                 const float* __restrict leave2, const float* __restrict enter2,
                                 float* __restrict out2, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const double x = SlideWindowSum(state[k], leave1[k], enter1[k]);
    out1[k] = static_cast<float>(x);
    const double y = SlideWindowSum(x, leave2[k], enter2[k]);
    state[k] = y;
    out2[k] = static_cast<float>(y);
  }
}

}  // namespace tavrel::fast
