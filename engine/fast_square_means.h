#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/fast_match_rows.h"
#include "engine/float_array.h"

namespace tavrel::fast {

// The box means of a * a and v * v that the correlation needs for every
// disparity index, made once per row instead of once per index.
//
// For index d the moments a * a (image 0 at column c') and v * v (image 1 at
// c' + d) count only where c' and c' + d both lie in the valid region. With
// whole intensities every window sum is a whole number below 2^24 (see
// ExactInFloat), so a box sum is the exact sum of its window, whatever the
// order of its terms: the sum over the columns of a window of the column
// sums that lie in the valid region for that index. Wherever a window's
// columns and shifted columns all lie in the valid region, this is one box
// mean per image column, the same for every index.
class SquareMeans {
 public:
  // Only for whole intensities and radii that ExactInFloat allows.
  SquareMeans(const Geometry& g, ThreadArena& arena);
  static std::size_t Bytes(const Geometry& g);

  // Makes row i's column sums and box means.
  void Row(const FloatArray& image0, const FloatArray& image1, int i);

  // The box means of the lanes of pixel c, band b, for the indices d0 ..
  // d0 + kLanes - 1: aa[lane] of a * a, vv[lane] of v * v.
  struct Lanes {
    const SquareMeans* means;
    std::int64_t d0;
    // The pixels whose every lane takes the shared box means, a run within
    // the row (lastFull < firstFull when there is none).
    int firstFull;
    int lastFull;

    // Pixels firstFull .. lastFull.
    [[gnu::always_inline]] void OfFull(int b, int c, float* aa, float* vv) const {
      const std::size_t plane = static_cast<std::size_t>(b) * means->g_.columns;
      const float a = means->meanA_[plane + c];
      const float* v = means->meanV_ + plane + c + d0;
      for (int lane = 0; lane < kLanes; ++lane) {
        aa[lane] = a;
        vv[lane] = v[lane];
      }
    }
    // The others.
    void OfEdge(int b, int c, float* aa, float* vv) const { means->EdgeLanes(b, c, d0, aa, vv); }
  };

  // The lanes of the block whose first index is minDisparity + k0.
  Lanes ForBlock(int k0) const;

 private:
  // The lanes of a pixel whose window meets a column outside the valid
  // region at some index, each summed over the columns that count for it.
  void EdgeLanes(int b, int c, std::int64_t d0, float* aa, float* vv) const;

  Geometry g_;
  float w_;
  bool innerRow_ = false;  // whether the box's window lies inside the grid
  // Per band, planes of `columns` floats: the column sums of the window's
  // valid rows (0 outside the valid columns) and their box means.
  float* columnA_;
  float* columnV_;
  float* meanA_;
  float* meanV_;
};

}  // namespace tavrel::fast
