#include "engine/match_volume.h"

#include <algorithm>

namespace tavrel {

Interior InteriorOf(int rows, int columns, int disparities) {
  return Interior{kPixelMargin,     rows - kPixelMargin - 1,
                  kPixelMargin,     columns - kPixelMargin - 1,
                  kDisparityMargin, disparities - kDisparityMargin - 1};
}

void ClearOutsideInterior(FloatArray& volume) {
  const Interior interior = InteriorOf(volume.rows(), volume.columns(), volume.bands());
  const int bands = volume.bands();
  // Indices below the interior and from just past it to the end; with an
  // empty index range the two spans cover every index.
  const int lowEnd = std::min(interior.firstIndex, bands);
  const int highBegin = std::max(interior.lastIndex + 1, 0);
  for (int row = 0; row < volume.rows(); ++row) {
    for (int column = 0; column < volume.columns(); ++column) {
      if (bands == 0) continue;
      float* cells = &volume.At(row, column, 0);
      if (!interior.ContainsRow(row) || !interior.ContainsColumn(column)) {
        std::fill(cells, cells + bands, 0.0f);
        continue;
      }
      std::fill(cells, cells + lowEnd, 0.0f);
      std::fill(cells + std::max(highBegin, lowEnd), cells + bands, 0.0f);
    }
  }
}

}  // namespace tavrel
