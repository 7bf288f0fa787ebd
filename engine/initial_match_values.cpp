#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/match_volume.h"
#include "engine/reference_engine.h"
#include "engine/stage_arithmetic.h"

namespace tavrel::reference {
namespace {

// Band `band` of the grid at a column that may lie outside it (0.0 there).
float AtShiftedColumn(const FloatArray& grid, int row, std::int64_t column, int band) {
  if (column < 0 || column >= grid.columns()) return 0.0f;
  return grid.At(row, static_cast<int>(column), band);
}

// SAD: L0(i, c, k) = box mean of radius r of the band-averaged similarity
// 1 - |I0 - I1| / 255 between pixel (i, c) of image 0 and (i, c + d) of image 1,
// d = MinDisparity + k, where similarities outside the valid region are 0.
// Afterwards meanGrid (C x R x 1) holds the mean of L0 over all indices, box
// averaged with radius r + 1: the background level of the scaling.
void ComputeSadValues(StageGrids& grids, const FloatArray& image0, const FloatArray& image1,
                      int radius, FloatArray& meanGrid) {
  FloatArray& L0 = *grids.L0;
  const int rows = grids.Rows;
  const int columns = grids.Columns;
  const int bands = image0.bands();
  const ValidRegion valid{rows, columns};

  FloatArray similarity(columns, rows, 1);
  for (int k = 0; k < grids.NumDisparities; ++k) {
    const int disparity = grids.MinDisparity + k;
    similarity.Fill(0.0f);
    for (int i = 0; i < rows; ++i) {
      for (int c = 0; c < columns; ++c) {
        const std::int64_t c1 = static_cast<std::int64_t>(c) + disparity;
        if (!valid.Contains(i, c) || !valid.ContainsColumn(c1)) continue;
        float& t = similarity.At(i, c, 0);
        for (int b = 0; b < bands; ++b) {
          const double difference =
              static_cast<double>(image0.At(i, c, b)) - AtShiftedColumn(image1, i, c1, b);
          t = static_cast<float>(t + (1.0 - std::fabs(difference) * kOneOver255));
        }
        t = static_cast<float>(static_cast<double>(t) / bands);
      }
    }
    similarity.BoxMean(radius);
    for (int i = 0; i < rows; ++i) {
      for (int c = 0; c < columns; ++c) L0.At(i, c, k) = similarity.At(i, c, 0);
    }
  }

  meanGrid.Fill(0.0f);
  for (int i = 0; i < rows; ++i) {
    for (int c = 0; c < columns; ++c) {
      float& mean = meanGrid.At(i, c, 0);
      for (int k = 0; k < grids.NumDisparities; ++k) {
        mean = static_cast<float>(static_cast<double>(mean) + L0.At(i, c, k));
      }
      mean = static_cast<float>(static_cast<double>(mean) / grids.NumDisparities);
    }
  }
  meanGrid.BoxMean(radius + 1);
}

// Normalized correlation: L0(i, c, k) = mean over the bands of
// cov / sqrt(var0 * var1) of the radius-r windows around (i, c) in image 0 and
// (i, c + d) in image 1. Means come from images masked to the valid region,
// moments from pixel pairs that both lie in it; a band whose variance product
// is exactly 0 adds nothing.
void ComputeCorrelationValues(StageGrids& grids, const FloatArray& image0, const FloatArray& image1,
                              int radius) {
  FloatArray& L0 = *grids.L0;
  const int rows = grids.Rows;
  const int columns = grids.Columns;
  const int bands = image0.bands();
  const ValidRegion valid{rows, columns};

  // Band 2b: image 0's band b; band 2b + 1: image 1's band b at the same
  // column. After BoxMean, their window means.
  FloatArray means(columns, rows, 2 * bands);
  means.Fill(0.0f);
  for (int i = 0; i < rows; ++i) {
    for (int c = 0; c < columns; ++c) {
      if (!valid.Contains(i, c)) continue;
      for (int b = 0; b < bands; ++b) {
        means.At(i, c, 2 * b) = image0.At(i, c, b);
        means.At(i, c, 2 * b + 1) = image1.Get(i, c, b);
      }
    }
  }
  means.BoxMean(radius);

  // Bands 3b, 3b + 1, 3b + 2: a * a, v * v, v * a; after BoxMean their window
  // means, then in place the variance of image 0, of image 1, the covariance.
  FloatArray moments(columns, rows, 3 * bands);
  for (int k = 0; k < grids.NumDisparities; ++k) {
    const int disparity = grids.MinDisparity + k;
    moments.Fill(0.0f);
    for (int i = 0; i < rows; ++i) {
      for (int c = 0; c < columns; ++c) {
        const std::int64_t c1 = static_cast<std::int64_t>(c) + disparity;
        if (!valid.Contains(i, c) || !valid.ContainsColumn(c1)) continue;
        for (int b = 0; b < bands; ++b) {
          const double a = image0.At(i, c, b);
          const double v = AtShiftedColumn(image1, i, c1, b);
          moments.At(i, c, 3 * b) = static_cast<float>(a * a);
          moments.At(i, c, 3 * b + 1) = static_cast<float>(v * v);
          moments.At(i, c, 3 * b + 2) = static_cast<float>(v * a);
        }
      }
    }
    moments.BoxMean(radius);

    for (int i = 0; i < rows; ++i) {
      for (int c = 0; c < columns; ++c) {
        const std::int64_t c1 = static_cast<std::int64_t>(c) + disparity;
        float sum = 0.0f;
        for (int b = 0; b < bands; ++b) {
          const double mu0 = means.At(i, c, 2 * b);
          const double mu1 = AtShiftedColumn(means, i, c1, 2 * b + 1);
          float& variance0 = moments.At(i, c, 3 * b);
          float& variance1 = moments.At(i, c, 3 * b + 1);
          float& covariance = moments.At(i, c, 3 * b + 2);
          variance0 = static_cast<float>(variance0 - mu0 * mu0);
          variance1 = static_cast<float>(variance1 - mu1 * mu1);
          covariance = static_cast<float>(covariance - mu0 * mu1);
          const double q = static_cast<double>(variance0) * variance1;
          if (q != 0.0) sum = static_cast<float>(sum + covariance / std::sqrt(q));
        }
        L0.At(i, c, k) = static_cast<float>(static_cast<double>(sum) / bands);
      }
    }
  }
}

// In rows and columns 8 .. size - 9: SAD values are first scaled against the
// background level m (capped by maxScaler) as (v - m) / (1 - m); then every
// value is clamped to 0.08 .. 1.0. NaN fails the lower test and becomes 0.08.
void ScaleAndClamp(StageGrids& grids, const FloatArray& meanGrid, float maxScaler, bool sad) {
  FloatArray& L0 = *grids.L0;
  for (int i = kPixelMargin; i <= grids.Rows - kPixelMargin - 1; ++i) {
    for (int c = kPixelMargin; c <= grids.Columns - kPixelMargin - 1; ++c) {
      float m = 0.0f;
      if (sad) {
        m = meanGrid.At(i, c, 0);
        if (m > maxScaler) m = maxScaler;
      }
      for (int k = 0; k < grids.NumDisparities; ++k) {
        float v = L0.At(i, c, k);
        if (sad) v = static_cast<float>((static_cast<double>(v) - m) / (1.0 - m));
        if (!(v >= kLowestMatchValue)) v = kLowestMatchValue;
        if (v > 1.0f) v = 1.0f;
        L0.At(i, c, k) = v;
      }
    }
  }
}

}  // namespace

void ComputeL0(StageGrids& grids, const FloatArray& image0, const FloatArray& image1, int winRadL0,
               float maxScaler, MatchCost cost) {
  const bool sad = cost == MatchCost::Sad;
  FloatArray meanGrid(grids.Columns, grids.Rows, 1);
  if (sad) {
    ComputeSadValues(grids, image0, image1, winRadL0, meanGrid);
  } else {
    ComputeCorrelationValues(grids, image0, image1, winRadL0);
  }
  ScaleAndClamp(grids, meanGrid, maxScaler, sad);

  std::copy_n(grids.L0->data(), grids.L0->size(), grids.Ln->data());
  ClearOutsideInterior(*grids.Ln);
}

}  // namespace tavrel::reference
