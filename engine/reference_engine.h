#pragma once

#include "engine/float_array.h"
#include "engine/stereo_matcher.h"
#include "engine/stereo_params.h"

// The straightforward implementation of every stage of a job, written to read
// like the algorithm: single-threaded, loops in the documented order, one
// rounding to float wherever a value is stored. It defines the results; any
// faster implementation must reproduce them to the bit.
//
// Each function works on the grids and sizes the matcher hands over
// (StageGrids) and trusts its preconditions; StereoMatcher's members check
// them before calling in.
namespace tavrel::reference {

// Fills L0 from the two images by the given cost, copies it into Ln and
// clears Ln outside the interior.
// Requires: Rows, Columns, NumDisparities, MinDisparity set; L0 and Ln
// allocated as Columns x Rows x NumDisparities; image0 exactly Columns x Rows
// with at least one band; winRadL0 from 0 to 7. Image 1 is read only through
// Get, so its size does not matter for safety.
void ComputeL0(StageGrids& grids, const FloatArray& image0, const FloatArray& image1, int winRadL0,
               float maxScaler, MatchCost cost);

// One cooperative iteration of Ln in place.
// Requires: L0 and Ln allocated with the matcher's shape; WinRadRC from 0 to 7,
// WinRadD from 0 to 2.
void Iterate(StageGrids& grids);

// DispConf (disparity, confidence) of every pixel from Ln.
// Requires: Ln and DispConf allocated with the matcher's shape.
void ExtractDispConf(StageGrids& grids);

// The same for the pixels of one row, 0 <= row < Rows. Rows are independent,
// so a faster extraction may run them in any order or at once.
void ExtractDispConfRow(StageGrids& grids, int row);

// A pixel's peak: its sub-pixel disparity index and its confidence.
struct Peak {
  double offset = 0.0;
  double confidence = 0.0;
};

// The peak at index d (1 <= d <= count - 2) of one pixel's match values: the
// offset interpolated linearly towards the larger neighbour, the confidence
// next + cur + prev.
Peak PeakAt(const float* values, int d);

// DispConf(row, column) = (MinDisparity + offset, confidence).
void StorePeak(StageGrids& grids, int row, int column, const Peak& peak);

}  // namespace tavrel::reference
