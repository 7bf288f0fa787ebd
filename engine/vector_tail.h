#pragma once

#include <cstddef>
#include <cstring>

// The last part of a loop that is shorter than a vector, done as a vector.
//
// A kernel's loop over n values leaves n mod 8 of them to a scalar loop,
// where a division is one lane at a time. Instead, its last values are
// copied into padded arrays of a whole vector, the loop's body runs on those
// as on any other vector (the padding lanes compute values nobody reads),
// and only the real lanes are copied back. Each lane goes through the same
// operation as in the scalar loop, so the values are the same.
namespace tavrel::fast {

inline constexpr int kTailWidth = 8;

// A vector's worth of floats: the first `count` from `from`, then `pad`.
struct TailLanes {
  float lanes[kTailWidth];

  TailLanes(const float* from, std::size_t count, float pad) {
    for (float& lane : lanes) lane = pad;
    std::memcpy(lanes, from, count * sizeof(float));
  }
  void CopyTo(float* to, std::size_t count) const { std::memcpy(to, lanes, count * sizeof(float)); }
};

}  // namespace tavrel::fast
