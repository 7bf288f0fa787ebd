#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/float_array.h"
#include "engine/stereo_matcher.h"

namespace tavrel {

// The disparity range of a finished job and the margins its results leave:
// pixels within PixelMargin of the image border, and disparity indices within
// DisparityMargin of either end of the range, never hold a match.
struct RangeGeometry {
  int MinDisparity = 0;
  int MaxDisparity = 0;
  int PixelMargin = kPixelMargin;
  int DisparityMargin = kDisparityMargin;
};

// Whether more than half of the interior pixels of `disparities` (band 0 is
// read: a DispConf map or a one-band disparity plane) lie at either end of the
// disparities a match can have: in its lowest or highest eighth, or below it,
// where a pixel without any match sits. A range whose matches span fewer than
// eight pixels gives no verdict (false).
bool MostDisparitiesAtRangeEnds(const FloatArray& disparities, const RangeGeometry& range);

// The count behind MostDisparitiesAtRangeEnds taken row by row, as a
// streamed job hands its rows over, for a map of `rows` x `columns` pixels.
class RangeEndsTally {
 public:
  RangeEndsTally(const RangeGeometry& range, int rows, int columns);

  // Row `row` of the disparities, one every `stride` floats.
  void Row(int row, const float* disparities, int stride);

  bool MostAtEnds() const;
  const RangeGeometry& range() const { return range_; }

 private:
  RangeGeometry range_;
  int rows_;
  int columns_;
  bool judged_ = false;  // the range is wide enough for a verdict
  double lowEnd_ = 0.0;
  double highEnd_ = 0.0;
  std::int64_t interior_ = 0;
  std::int64_t atEnds_ = 0;
};

// The warning for a finished job whose disparities mostly sit at the ends of
// its range, which is what a range of the wrong sign gives; none otherwise.
// The text does not carry the "warning: " that the program puts before it.
std::optional<std::string> RangeSignWarning(const FloatArray& disparities,
                                            const RangeGeometry& range);
std::optional<std::string> RangeSignWarning(const RangeEndsTally& tally);

}  // namespace tavrel
