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

RangeEndsTally::RangeEndsTally(const RangeGeometry& range, int rows, int columns)
    : range_(range), rows_(rows), columns_(columns) {
  const std::int64_t count = std::int64_t{range.MaxDisparity} - range.MinDisparity;
  const double firstMatch = static_cast<double>(range.MinDisparity) + range.DisparityMargin;
  const double lastMatch =
      static_cast<double>(range.MinDisparity) + count - 1 - range.DisparityMargin;
  const double span = lastMatch - firstMatch;
  judged_ = span >= kShortestSpan;
  // A pixel with no positive match value takes the peak at index 1, below
  // firstMatch, so it falls in the lower end as well.
  lowEnd_ = firstMatch + span * kEndsPerSpan;
  highEnd_ = lastMatch - span * kEndsPerSpan;
}

void RangeEndsTally::Row(int row, const float* disparities, int stride) {
  const int margin = range_.PixelMargin;
  if (!judged_ || row < margin || row >= rows_ - margin) return;
  for (int c = margin; c < columns_ - margin; ++c) {
    const double disparity = disparities[static_cast<std::ptrdiff_t>(c) * stride];
    ++interior_;
    if (disparity < lowEnd_ || disparity > highEnd_) ++atEnds_;
  }
}

bool RangeEndsTally::MostAtEnds() const { return interior_ > 0 && 2 * atEnds_ > interior_; }

bool MostDisparitiesAtRangeEnds(const FloatArray& disparities, const RangeGeometry& range) {
  RangeEndsTally tally(range, disparities.rows(), disparities.columns());
  const std::size_t rowSize = static_cast<std::size_t>(disparities.columns()) * disparities.bands();
  for (int r = 0; r < disparities.rows(); ++r) {
    tally.Row(r, disparities.data() + r * rowSize, disparities.bands());
  }
  return tally.MostAtEnds();
}

namespace {

std::string WarningText(const RangeGeometry& range) {
  // The same disparities with the other sign: -(MaxDisparity - 1) to -MinDisparity.
  const std::int64_t mirroredMin = 1 - std::int64_t{range.MaxDisparity};
  const std::int64_t mirroredMax = 1 - std::int64_t{range.MinDisparity};
  return "most disparities lie at the ends of the range; is its sign right? A pixel of image 0 "
         "matches the pixel of image 1 that lies its disparity to the right, so for a left "
         "reference image the range is negative (the same disparities with the other sign: "
         "MinDisparity " +
         std::to_string(mirroredMin) + ", MaxDisparity " + std::to_string(mirroredMax) + ").";
}

}  // namespace

std::optional<std::string> RangeSignWarning(const FloatArray& disparities,
                                            const RangeGeometry& range) {
  if (!MostDisparitiesAtRangeEnds(disparities, range)) return std::nullopt;
  return WarningText(range);
}

std::optional<std::string> RangeSignWarning(const RangeEndsTally& tally) {
  if (!tally.MostAtEnds()) return std::nullopt;
  return WarningText(tally.range());
}

}  // namespace tavrel
