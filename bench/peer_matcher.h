#pragma once

#include "engine/float_array.h"

namespace tavrel::bench {

// True when the bench was built with OpenCV and can time its StereoSGBM.
bool HavePeerMatcher();

// Seconds of the best of `repeats` runs of OpenCV's StereoSGBM (block size 5)
// on the pair, converted to 8-bit images with image 0 as the left view, over
// the same disparity range (our disparity d is OpenCV's -d). Negative when
// OpenCV is not available.
double TimePeerMatcher(const FloatArray& image0, const FloatArray& image1, int minDisparity,
                       int maxDisparity, int repeats);

}  // namespace tavrel::bench
