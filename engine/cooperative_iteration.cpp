#include <cstdint>
#include <vector>

#include "engine/match_volume.h"
#include "engine/reference_engine.h"
#include "engine/stage_arithmetic.h"

namespace tavrel::reference {
namespace {

// Replaces, for every interior pixel, Ln(r, c, d) for the interior indices d by
// the sum of Ln(r, c, d - radius .. d + radius). The sum runs along the pixel's
// indices in double, one subtraction and one addition per step; the sums are
// parked in `sums` (room for NumDisparities floats) and written back only
// after the pixel is done, so the running sum reads the values before the step.
// Indices radius away from the interior stay inside the volume because the
// interior keeps 3 indices from each end and radius <= 2.
void SumAlongDisparities(FloatArray& Ln, const Interior& interior, int radius) {
  std::vector<float> sums(static_cast<std::size_t>(Ln.bands()));
  for (int r = interior.firstRow; r <= interior.lastRow; ++r) {
    for (int c = interior.firstColumn; c <= interior.lastColumn; ++c) {
      const int first = interior.firstIndex;
      double sum = Ln.At(r, c, first - radius);
      for (int k = first - radius + 1; k <= first + radius; ++k) sum += Ln.At(r, c, k);
      for (int d = first; d <= interior.lastIndex; ++d) {
        sums[d] = static_cast<float>(sum);
        sum = SlideWindowSum(sum, Ln.At(r, c, d - radius), Ln.At(r, c, d + radius + 1));
      }
      for (int d = first; d <= interior.lastIndex; ++d) Ln.At(r, c, d) = sums[d];
    }
  }
}

// Band 0 of lineSums at (r, c): the support S summed over pixel (r, c) of image
// 0's line of sight, indices ascending, rounded to float after each addition.
void GatherImage0LineSums(const FloatArray& S, const Interior& interior, FloatArray& lineSums) {
  for (int r = interior.firstRow; r <= interior.lastRow; ++r) {
    for (int c = interior.firstColumn; c <= interior.lastColumn; ++c) {
      float& total = lineSums.At(r, c, 0);
      for (int d = interior.firstIndex; d <= interior.lastIndex; ++d) {
        total = static_cast<float>(static_cast<double>(total) + S.At(r, c, d));
      }
    }
  }
}

// Band 1 of lineSums at (r, c1): the support of every interior cell that
// looks at pixel (r, c1) of image 1, for c1 inside the interior columns,
// accumulated in the order rows, columns, indices ascending.
void GatherImage1LineSums(const FloatArray& S, const Interior& interior, int minDisparity,
                          FloatArray& lineSums) {
  for (int r = interior.firstRow; r <= interior.lastRow; ++r) {
    for (int c = interior.firstColumn; c <= interior.lastColumn; ++c) {
      for (int d = interior.firstIndex; d <= interior.lastIndex; ++d) {
        const std::int64_t c1 = ImageOneColumn(c, minDisparity, d);
        if (!interior.ContainsColumn(c1)) continue;
        float& total = lineSums.At(r, static_cast<int>(c1), 1);
        total = static_cast<float>(static_cast<double>(total) + S.At(r, c, d));
      }
    }
  }
}

// For every interior cell: T = image-0 line sum (+ image-1 line sum when the
// image-1 column is interior), v = S / T (S itself when T is 0), v < 0 -> 0
// (NaN is not below 0 and passes), then Ln = L0 * v * v. Each of these steps
// reads and writes only its own cell, so one pass gives what separate passes
// over the volume would.
void NormaliseSquareAndWeight(FloatArray& Ln, const FloatArray& L0, const FloatArray& lineSums,
                              const Interior& interior, int minDisparity) {
  for (int r = interior.firstRow; r <= interior.lastRow; ++r) {
    for (int c = interior.firstColumn; c <= interior.lastColumn; ++c) {
      for (int d = interior.firstIndex; d <= interior.lastIndex; ++d) {
        const float support = Ln.At(r, c, d);
        float total = lineSums.At(r, c, 0);
        const std::int64_t c1 = ImageOneColumn(c, minDisparity, d);
        if (interior.ContainsColumn(c1)) {
          total = static_cast<float>(static_cast<double>(lineSums.At(r, static_cast<int>(c1), 1)) +
                                     total);
        }
        float v = support;
        if (total != 0.0f) v = static_cast<float>(static_cast<double>(support) / total);
        if (v < 0.0f) v = 0.0f;
        v = static_cast<float>(static_cast<double>(v) * v);
        Ln.At(r, c, d) = static_cast<float>(static_cast<double>(L0.At(r, c, d)) * v);
      }
    }
  }
}

}  // namespace

// New Ln = L0 * max(0, S / T)^2 in the interior, 0 outside, where S is the sum
// of the old Ln over a (2 WinRadRC + 1)^2 x (2 WinRadD + 1) box (cells outside
// the interior count as 0) and T the total support along the two lines of
// sight through the cell. Scratch: one vector of NumDisparities floats and a
// Rows x Columns x 2 plane of line sums, both freed on return.
void Iterate(StageGrids& grids) {
  FloatArray& Ln = *grids.Ln;
  const Interior interior = InteriorOf(grids.Rows, grids.Columns, grids.NumDisparities);

  ClearOutsideInterior(Ln);
  Ln.BoxSum(grids.WinRadRC);
  if (!interior.Empty()) {
    SumAlongDisparities(Ln, interior, grids.WinRadD);

    FloatArray lineSums(grids.Columns, grids.Rows, 2);
    lineSums.Fill(0.0f);
    GatherImage0LineSums(Ln, interior, lineSums);
    GatherImage1LineSums(Ln, interior, grids.MinDisparity, lineSums);
    NormaliseSquareAndWeight(Ln, *grids.L0, lineSums, interior, grids.MinDisparity);
  }
  ClearOutsideInterior(Ln);
}

}  // namespace tavrel::reference
