#pragma once

#include <string>

#include "engine/float_array.h"
#include "engine/stereo_matcher.h"
#include "evaluation/scorer.h"

namespace tavrel {

// The error view's data: a ground truth in the benchmarks' sign (a point at
// column x of image 0 shows at x - D in image 1, unknown pixels not finite)
// against the matcher's disparities, which are in the program's own sign.

// Each pixel's error, the estimate in the benchmarks' sign (-d) minus the
// ground truth; not finite where either is unknown. The ground truth must
// have image 0's size.
FloatArray SignedError(const FloatArray& dispConf, const FloatArray& groundTruth);

// The figures of the one scorer, as tavrel-score computes them for the
// matcher's output file and this ground truth.
Score ScoreAgainstGroundTruth(const FloatArray& dispConf, const FloatArray& groundTruth);

// "Error N  bad2 X%  mean Y" for the caption: bad 2 in per cent and the mean
// error in pixels, short enough for the menu bar of a small picture.
std::string ErrorCaption(int iteration_count, const Score& score);

// Why a ground truth cannot be compared with this matcher's maps, or empty.
std::string GroundTruthMismatch(const StereoMatcher& matcher, const FloatArray& groundTruth);

}  // namespace tavrel
