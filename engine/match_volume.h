#pragma once

#include <cstdint>

#include "engine/float_array.h"
#include "engine/stereo_matcher.h"

namespace tavrel {

// The box of a match volume that receives computed values: rows and columns
// kPixelMargin .. size - kPixelMargin - 1, disparity indices
// kDisparityMargin .. NumDisparities - kDisparityMargin - 1. Empty when the
// image has fewer than 17 rows or columns or there are fewer than 7 indices.
struct Interior {
  int firstRow = 0;
  int lastRow = -1;
  int firstColumn = 0;
  int lastColumn = -1;
  int firstIndex = 0;
  int lastIndex = -1;

  bool Empty() const {
    return firstRow > lastRow || firstColumn > lastColumn || firstIndex > lastIndex;
  }
  bool ContainsRow(std::int64_t row) const { return row >= firstRow && row <= lastRow; }
  bool ContainsColumn(std::int64_t column) const {
    return column >= firstColumn && column <= lastColumn;
  }
  bool ContainsIndex(std::int64_t index) const { return index >= firstIndex && index <= lastIndex; }
};

Interior InteriorOf(int rows, int columns, int disparities);

// Column of image 1 that cell (r, c, d) compares with: c + minDisparity + d,
// formed in 64 bits so that no disparity range can overflow it.
inline std::int64_t ImageOneColumn(int column, int minDisparity, int index) {
  return static_cast<std::int64_t>(column) + minDisparity + index;
}

// Sets every cell of the volume (bands = disparity indices) outside its
// interior to 0.0 and leaves the interior alone.
void ClearOutsideInterior(FloatArray& volume);

// The same for row `row` of such a volume: `cells` holds its columns x
// disparities values.
void ClearOutsideInteriorRow(const Interior& interior, int row, int columns, int disparities,
                             float* cells);

// Whether every cell of the volume outside its interior is 0.
bool ZeroOutsideInterior(const FloatArray& volume);

}  // namespace tavrel
