#include "files/range_sign_check.h"

#include <cstdint>

namespace tavrel {
namespace {

// Each end is an eighth of the span of the disparities a match can have, so
// that disparities spread evenly over the range put a quarter of the pixels
// at the ends, half as many as "most". A range of the wrong sign leaves no
// true match inside it: on SAD runs over the Middlebury teddy and cones pairs,
// and over random textures smooth along the rows, 63 to 83 % of the interior
// pixels then sit at the ends, mostly at the one nearer disparity 0, against
// 10 to 25 % with the right sign. With normalized correlation a wrong sign
// spreads them more evenly (28 % on cones) and goes unnoticed.
constexpr double kEndsPerSpan = 1.0 / 8;
constexpr int kShortestSpan = 8;  // below it, an end would be less than a pixel

}  // namespace

bool MostDisparitiesAtRangeEnds(const FloatArray& disparities, const RangeGeometry& range) {
  const std::int64_t count = std::int64_t{range.MaxDisparity} - range.MinDisparity;
  const double firstMatch = static_cast<double>(range.MinDisparity) + range.DisparityMargin;
  const double lastMatch =
      static_cast<double>(range.MinDisparity) + count - 1 - range.DisparityMargin;
  const double span = lastMatch - firstMatch;
  if (span < kShortestSpan) return false;
  // A pixel with no positive match value takes the peak at index 1, below
  // firstMatch, so it falls in the lower end as well.
  const double lowEnd = firstMatch + span * kEndsPerSpan;
  const double highEnd = lastMatch - span * kEndsPerSpan;

  std::int64_t interior = 0;
  std::int64_t atEnds = 0;
  const int margin = range.PixelMargin;
  for (int r = margin; r < disparities.rows() - margin; ++r) {
    for (int c = margin; c < disparities.columns() - margin; ++c) {
      const double disparity = disparities.At(r, c, 0);
      ++interior;
      if (disparity < lowEnd || disparity > highEnd) ++atEnds;
    }
  }
  return interior > 0 && 2 * atEnds > interior;
}

std::optional<std::string> RangeSignWarning(const FloatArray& disparities,
                                            const RangeGeometry& range) {
  if (!MostDisparitiesAtRangeEnds(disparities, range)) return std::nullopt;
  // The same disparities with the other sign: -(MaxDisparity - 1) to -MinDisparity.
  const std::int64_t mirroredMin = 1 - std::int64_t{range.MaxDisparity};
  const std::int64_t mirroredMax = 1 - std::int64_t{range.MinDisparity};
  return "most disparities lie at the ends of the range; is its sign right? A pixel of image 0 "
         "matches the pixel of image 1 that lies its disparity to the right, so for a left "
         "reference image the range is negative (the same disparities with the other sign: "
         "MinDisparity " +
         std::to_string(mirroredMin) + ", MaxDisparity " + std::to_string(mirroredMax) + ").";
}

}  // namespace tavrel
