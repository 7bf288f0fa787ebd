#include "engine/fast_engine.h"

namespace tavrel::fast {
namespace {

// The strongest local maximum of one pixel's values among indices
// 1 .. count - 2, with the same tie rule, interpolation and double arithmetic
// as the straightforward extraction; writes the rounded disparity and
// confidence into out[0] and out[1].
void ExtractPixel(const float* values, int count, int minDisparity, float* out) {
  double offset = 0.0;
  double confidence = 0.0;
  float best = -1.0f;
  for (int d = 1; d <= count - 2; ++d) {
    const float prev = values[d - 1];
    const float cur = values[d];
    const float next = values[d + 1];
    if (!(cur > best && cur >= prev && cur >= next)) continue;
    best = cur;
    confidence = static_cast<double>(next) + cur + prev;
    if (prev < next) {
      const double rise = static_cast<double>(cur) - prev;
      offset = rise == 0.0 ? d : d + 0.5 * (static_cast<double>(next) - prev) / rise;
    } else {
      const double fall = static_cast<double>(cur) - next;
      offset = fall == 0.0 ? d : d - 0.5 * (static_cast<double>(prev) - next) / fall;
    }
  }
  out[0] = static_cast<float>(minDisparity + offset);
  out[1] = static_cast<float>(confidence);
}

}  // namespace

// Pixels are independent, so the rows are shared among the threads.
void ExtractDispConf(StereoMatcher& matcher) {
  const FloatArray& Ln = *matcher.Ln;
  FloatArray& dispConf = *matcher.DispConf;
  const int rows = matcher.Rows;
  const int columns = matcher.Columns;
  const int count = matcher.NumDisparities;
#pragma omp parallel for schedule(static)
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      ExtractPixel(Ln.data() + Ln.Index(r, c, 0), count, matcher.MinDisparity,
                   &dispConf.At(r, c, 0));
    }
  }
}

}  // namespace tavrel::fast
