#pragma once

#include "engine/stereo_matcher.h"

namespace tavrel {

// Slice pictures of the match volumes along one image row, written over the top
// rows of the matcher's DisplayMap: picture row d * repeat + k (k < repeat)
// shows disparity index d, picture column c is image column c. Grey level =
// match value * 255 for L0 and * 4000 for Ln, capped at 255 (no lower bound).
// Rows from NumDisparities * repeat down keep what DisplayMap held; writes past
// its last row are dropped. A row at or below Rows leaves DisplayMap alone; a
// negative row reads zeros. Nothing happens before a job has been run.
void L0SliceToDisplay(StereoMatcher& matcher, int row, int repeat);
void LnSliceToDisplay(StereoMatcher& matcher, int row, int repeat);

// The match values of the same picture, unscaled: a one-band grid of
// NumDisparities * repeat rows and Columns columns, row d * repeat + k holding
// volume(row, c, d); a row outside the volume reads zeros.
FloatArray SliceValues(const StereoMatcher& matcher, const FloatArray& volume, int row, int repeat);

}  // namespace tavrel
