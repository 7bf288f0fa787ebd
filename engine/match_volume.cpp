#include "engine/match_volume.h"

#include <algorithm>
#include <cstddef>

namespace tavrel {

Interior InteriorOf(int rows, int columns, int disparities) {
  return Interior{kPixelMargin,     rows - kPixelMargin - 1,
                  kPixelMargin,     columns - kPixelMargin - 1,
                  kDisparityMargin, disparities - kDisparityMargin - 1};
}

void ClearOutsideInterior(FloatArray& volume) {
  const Interior interior = InteriorOf(volume.rows(), volume.columns(), volume.bands());
  for (int row = 0; row < volume.rows(); ++row) {
    if (volume.columns() == 0 || volume.bands() == 0) continue;
    ClearOutsideInteriorRow(interior, row, volume.columns(), volume.bands(), &volume.At(row, 0, 0));
  }
}

void ClearOutsideInteriorRow(const Interior& interior, int row, int columns, int disparities,
                             float* cells) {
  if (!interior.ContainsRow(row)) {
    std::fill_n(cells, static_cast<std::size_t>(columns) * disparities, 0.0f);
    return;
  }
  // Indices below the interior and from just past it to the end; with an
  // empty index range the two spans cover every index.
  const int lowEnd = std::min(interior.firstIndex, disparities);
  const int highBegin = std::max(std::max(interior.lastIndex + 1, 0), lowEnd);
  for (int column = 0; column < columns; ++column) {
    float* pixel = cells + static_cast<std::ptrdiff_t>(column) * disparities;
    if (!interior.ContainsColumn(column)) {
      std::fill(pixel, pixel + disparities, 0.0f);
      continue;
    }
    std::fill(pixel, pixel + lowEnd, 0.0f);
    std::fill(pixel + highBegin, pixel + disparities, 0.0f);
  }
}

bool ZeroOutsideInterior(const FloatArray& volume) {
  const Interior interior = InteriorOf(volume.rows(), volume.columns(), volume.bands());
  for (int r = 0; r < volume.rows(); ++r) {
    for (int c = 0; c < volume.columns(); ++c) {
      const float* cell = volume.data() + volume.Index(r, c, 0);
      const bool inner = interior.ContainsRow(r) && interior.ContainsColumn(c);
      for (int d = 0; d < volume.bands(); ++d) {
        if (inner && interior.ContainsIndex(d)) continue;
        if (cell[d] != 0.0f) return false;
      }
    }
  }
  return true;
}

}  // namespace tavrel
