#pragma once

#include <cstdint>

// The arithmetic that the straightforward and the fast stages share: the
// constants of the initial match values, the region their window sums read,
// and the step of every running window sum. Both kinds of stage take them
// from here, so that a change reaches every path at once.
namespace tavrel {

// 1 / 255 as the straightforward similarity multiplies by it, in double.
inline constexpr double kOneOver255 = 0.00392156862745098;

// Every initial match value is clamped to kLowestMatchValue .. 1.0.
inline constexpr float kLowestMatchValue = 0.08f;

// The first row and column of the valid region. Pixels that contribute to any
// window sum of the initial match values lie in rows kValidFirst ..
// rows - kValidFirst and columns kValidFirst .. columns - kValidFirst: one
// more pixel is left out at the top and left than at the bottom and right.
inline constexpr int kValidFirst = 9;

struct ValidRegion {
  int rows = 0;
  int columns = 0;

  bool ContainsRow(std::int64_t row) const {
    return row >= kValidFirst && row <= rows - kValidFirst;
  }
  bool ContainsColumn(std::int64_t column) const {
    return column >= kValidFirst && column <= columns - kValidFirst;
  }
  bool Contains(std::int64_t row, std::int64_t column) const {
    return ContainsRow(row) && ContainsColumn(column);
  }
};

// Grey levels per unit of confidence, and of a current match value, in the
// pictures that show them (capped at 255): the confidence map and the slices
// of Ln.
inline constexpr double kConfidenceGreyGain = 4000.0;

// One step of a running window sum: the value leaving the window is
// subtracted first, then the one entering added, both in the sum's type. Every
// box and disparity sum of every path moves this way, so that the fast ones
// round exactly where the straightforward ones do.
template <typename Sum, typename Leave, typename Enter>
[[gnu::always_inline]] inline Sum SlideWindowSum(Sum sum, Leave leave, Enter enter) {
  return (sum - leave) + enter;
}

}  // namespace tavrel
