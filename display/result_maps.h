#pragma once

#include "engine/stereo_matcher.h"

// The result maps as grey levels: what the window shows and the pictures
// hold, written into the matcher's DisplayMap. The engine finds disparities
// and confidences (DispConf); how they look is decided here.
namespace tavrel {

// DisplayMap from band 0 of DispConf: grey level (disparity - MinDisparity)
// * 255 / (MaxDisparity - MinDisparity), the scale rounded to float once; no
// clamping. Throws std::logic_error when the maps do not exist or do not fit
// the matcher's sizes, or MaxDisparity is not above MinDisparity.
void DisparityToDisplay(StereoMatcher& matcher);

// DisplayMap from band 1 of DispConf: grey level confidence *
// kConfidenceGreyGain (4000), capped at 255 above and not clamped below.
// Throws std::logic_error when the maps do not exist or do not fit.
void ConfidenceToDisplay(StereoMatcher& matcher);

}  // namespace tavrel
