#include "evaluation/scorer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace tavrel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void CheckSameSize(const FloatArray& grid, const FloatArray& groundTruth, const char* what) {
  if (grid.columns() != groundTruth.columns() || grid.rows() != groundTruth.rows()) {
    throw std::invalid_argument(std::string(what) + " is " + std::to_string(grid.columns()) +
                                " x " + std::to_string(grid.rows()) + ", the ground truth " +
                                std::to_string(groundTruth.columns()) + " x " +
                                std::to_string(groundTruth.rows()));
  }
}

bool Evaluated(const FloatArray& groundTruth, const FloatArray* mask, int maskValue, int r, int c) {
  if (!std::isfinite(groundTruth.At(r, c, 0))) return false;
  return mask == nullptr || mask->At(r, c, 0) == static_cast<float>(maskValue);
}

double Percent(std::int64_t part, std::int64_t whole) {
  return whole == 0 ? kNaN : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

// Nearest rank: the k-th smallest of `sorted` for k = ceil(percent / 100 * n).
double Quantile(const std::vector<double>& sorted, int percent) {
  if (sorted.empty()) return kNaN;
  const std::size_t n = sorted.size();
  // Whole-number arithmetic keeps the rank exact: ceil(percent * n / 100).
  const std::size_t rank = (static_cast<std::size_t>(percent) * n + 99) / 100;
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

Score ScoreDisparity(const FloatArray& disparity, const FloatArray& groundTruth,
                     const FloatArray* mask, const ScoreParameters& parameters) {
  CheckSameSize(disparity, groundTruth, "the disparity map");
  if (mask) CheckSameSize(*mask, groundTruth, "the mask");
  if (parameters.border < 0) {
    throw std::invalid_argument("the border must be 0 or more, not " +
                                std::to_string(parameters.border));
  }
  const double sign = parameters.sameSign ? 1.0 : -1.0;
  const double thresholds[4] = {0.5, 1.0, 2.0, 4.0};
  std::int64_t evaluated = 0;
  std::int64_t bad[4] = {0, 0, 0, 0};
  std::vector<double> errors;
  const int border = parameters.border;
  for (int r = border; r < groundTruth.rows() - border; ++r) {
    for (int c = border; c < groundTruth.columns() - border; ++c) {
      if (!Evaluated(groundTruth, mask, parameters.maskValue, r, c)) continue;
      ++evaluated;
      const double estimate = disparity.At(r, c, 0);
      if (!std::isfinite(estimate)) {
        for (std::int64_t& count : bad) ++count;
        continue;
      }
      const double error = std::fabs(sign * estimate - groundTruth.At(r, c, 0));
      for (int k = 0; k < 4; ++k) bad[k] += error > thresholds[k];
      errors.push_back(error);
    }
  }

  Score score;
  score.evaluatedPixels = evaluated;
  score.estimatedPixels = static_cast<std::int64_t>(errors.size());
  score.bad0_5 = Percent(bad[0], evaluated);
  score.bad1 = Percent(bad[1], evaluated);
  score.bad2 = Percent(bad[2], evaluated);
  score.bad4 = Percent(bad[3], evaluated);
  score.coverage = Percent(score.estimatedPixels, evaluated);
  std::sort(errors.begin(), errors.end());
  double sum = 0.0, sumOfSquares = 0.0;
  for (double e : errors) {
    sum += e;
    sumOfSquares += e * e;
  }
  const double n = static_cast<double>(errors.size());
  score.mae = errors.empty() ? kNaN : sum / n;
  score.rms = errors.empty() ? kNaN : std::sqrt(sumOfSquares / n);
  score.a50 = Quantile(errors, 50);
  score.a90 = Quantile(errors, 90);
  score.a95 = Quantile(errors, 95);
  score.a99 = Quantile(errors, 99);
  return score;
}

}  // namespace tavrel
