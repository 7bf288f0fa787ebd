#include "evaluation/exported_maps.h"

#include <limits>

#include "engine/stereo_matcher.h"

namespace tavrel {

std::unique_ptr<FloatArray> BenchmarkSignDisparity(const FloatArray& dispConf) {
  auto map = std::make_unique<FloatArray>(dispConf.columns(), dispConf.rows(), 1);
  const auto inFrame = [&](int r, int c) {
    return r < kPixelMargin || r >= dispConf.rows() - kPixelMargin || c < kPixelMargin ||
           c >= dispConf.columns() - kPixelMargin;
  };
  for (int r = 0; r < dispConf.rows(); ++r) {
    for (int c = 0; c < dispConf.columns(); ++c) {
      // 0.0 - d rather than -d, so that a zero disparity is written as +0.
      map->At(r, c, 0) =
          inFrame(r, c) ? std::numeric_limits<float>::infinity() : 0.0f - dispConf.At(r, c, 0);
    }
  }
  return map;
}

}  // namespace tavrel
