#include "app/ground_truth.h"

#include <cmath>
#include <cstdio>

namespace tavrel {

FloatArray SignedError(const FloatArray& dispConf, const FloatArray& groundTruth) {
  FloatArray error(dispConf.columns(), dispConf.rows(), 1);
  for (int r = 0; r < error.rows(); ++r) {
    for (int c = 0; c < error.columns(); ++c) {
      const double estimate = -static_cast<double>(dispConf.At(r, c, 0));
      const double truth = groundTruth.At(r, c, 0);
      error.At(r, c, 0) = static_cast<float>(estimate - truth);
    }
  }
  return error;
}

Score ScoreAgainstGroundTruth(const FloatArray& dispConf, const FloatArray& groundTruth) {
  return ScoreDisparity(dispConf, groundTruth, nullptr, ScoreParameters{});
}

std::string ErrorCaption(int iteration_count, const Score& score) {
  char text[128];
  std::snprintf(text, sizeof text, "Error %d  bad2 %.2f%%  mean %.3f", iteration_count, score.bad2,
                score.mae);
  return text;
}

std::string GroundTruthMismatch(const StereoMatcher& matcher, const FloatArray& groundTruth) {
  if (!matcher.DispConf()) return "There is no disparity map to compare yet.";
  if (groundTruth.columns() == matcher.DispConf()->columns() &&
      groundTruth.rows() == matcher.DispConf()->rows()) {
    return std::string();
  }
  return "The ground truth is " + std::to_string(groundTruth.columns()) + " x " +
         std::to_string(groundTruth.rows()) + ", the disparity map " +
         std::to_string(matcher.DispConf()->columns()) + " x " +
         std::to_string(matcher.DispConf()->rows());
}

}  // namespace tavrel
