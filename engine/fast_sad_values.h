#pragma once

#include <limits>

#include "engine/fast_match_rows.h"
#include "engine/float_array.h"

// The SAD initial match values of a band of rows: similarity box means, the
// background level (their mean over the indices, box-averaged once more), the
// scaling against it and the clamp, each cell of L0 and Ln written once.
namespace tavrel::fast {

// What one SAD job reads and writes.
struct SadJob {
  FloatArray& L0;
  FloatArray& Ln;
  const FloatArray& image0;
  const FloatArray& image1;
  bool byteIntensities = false;  // both images hold whole numbers 0 .. 255
  Geometry g;
  float maxScaler = 0.0f;
};

// What the pixel means (the background level before its box mean) of some
// rows span: enough to tell whether their box mean's sums are exact.
struct MeanExtent {
  float leastPositive = std::numeric_limits<float>::infinity();
  float greatest = 0.0f;
  bool unusual = false;  // a negative value, a NaN or an infinity

  void Add(const float* means, int count);
  void Merge(const MeanExtent& other);
};

// Whether the similarity planes' box sums are exact in double for any window
// and starting row, so that bands of rows may start their sums afresh.
bool ExactSadSums(int bands, bool byteIntensities);

// Whether the background level's box sums over means of this extent are
// exact in double (then a band's fresh start agrees with the top-down pass).
bool ExactMeanSums(const MeanExtent& extent, int radius);

// SAD values of rows first .. end - 1, every disparity index, straight into
// L0 and Ln. A band below row 0 starts its box sums afresh, right only where
// ExactSadSums holds and the means it meets pass ExactMeanSums; `extent`
// gathers those means. Uses the calling thread's arena of slot 0.
void SadRows(const SadJob& job, int first, int end, MeanExtent& extent);

}  // namespace tavrel::fast
