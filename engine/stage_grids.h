#pragma once

#include "engine/float_array.h"

namespace tavrel {

// What a backend's stage works on: the job's sizes and iteration radii, and
// the matcher's grids, whose cells the stage rewrites but whose shapes and
// ownership stay with the matcher. StereoMatcher hands one to the backend
// after checking the stage's preconditions; a grid a stage does not use may
// be null.
struct StageGrids {
  int Rows = 0;
  int Columns = 0;
  int NumDisparities = 0;
  int MinDisparity = 0;
  int WinRadRC = 0;
  int WinRadD = 0;
  FloatArray* L0 = nullptr;
  FloatArray* Ln = nullptr;
  FloatArray* DispConf = nullptr;  // band 0 disparity, band 1 confidence
  // The caller vouches that Ln is 0 outside the interior, as StereoMatcher
  // keeps it between its operations: an iteration then need not clear it
  // first. Without it the stages take whatever lies there as the
  // straightforward iteration does, clearing it.
  bool LnZeroOutsideInterior = false;
};

}  // namespace tavrel
