#include "display/result_maps.h"

#include <stdexcept>
#include <string>

#include "engine/stage_arithmetic.h"

namespace tavrel {
namespace {

void RequireMaps(const StereoMatcher& m, const char* operation) {
  auto fits = [&m](const FloatArray* grid, int bands) {
    return grid && grid->rows() == m.Rows() && grid->columns() == m.Columns() &&
           grid->bands() == bands;
  };
  if (!fits(m.DispConf(), 2) || !fits(m.DisplayMap(), 1)) {
    throw std::logic_error(std::string(operation) +
                           ": the result maps do not exist or do not fit the matcher's sizes");
  }
}

}  // namespace

void DisparityToDisplay(StereoMatcher& matcher) {
  RequireMaps(matcher, "DisparityToDisplay");
  if (matcher.MaxDisparity() <= matcher.MinDisparity()) {
    throw std::logic_error(
        "DisparityToDisplay: MaxDisparity (" + std::to_string(matcher.MaxDisparity()) +
        ") is not greater than MinDisparity (" + std::to_string(matcher.MinDisparity()) + ")");
  }
  const FloatArray& dispConf = *matcher.DispConf();
  FloatArray& display = matcher.DisplayMapForWriting();
  const double range = static_cast<double>(matcher.MaxDisparity()) - matcher.MinDisparity();
  const float scale = static_cast<float>(255.0 / range);
  for (int r = 0; r < dispConf.rows(); ++r) {
    for (int c = 0; c < dispConf.columns(); ++c) {
      const double disparity = dispConf.At(r, c, 0);
      display.At(r, c, 0) = static_cast<float>((disparity - matcher.MinDisparity()) * scale);
    }
  }
}

void ConfidenceToDisplay(StereoMatcher& matcher) {
  RequireMaps(matcher, "ConfidenceToDisplay");
  const FloatArray& dispConf = *matcher.DispConf();
  FloatArray& display = matcher.DisplayMapForWriting();
  for (int r = 0; r < dispConf.rows(); ++r) {
    for (int c = 0; c < dispConf.columns(); ++c) {
      double v = static_cast<double>(dispConf.At(r, c, 1)) * kConfidenceGreyGain;
      if (v > 255.0) v = 255.0;
      display.At(r, c, 0) = static_cast<float>(v);
    }
  }
}

}  // namespace tavrel
