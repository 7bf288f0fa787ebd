#pragma once

#include <cstddef>
#include <vector>

#include "engine/fast_match_rows.h"
#include "engine/float_array.h"

// The normalized-correlation initial match values, a block of kLanes
// disparity indices at a time: the window means of both images, then per
// block row the moments' box means, the correlation, the clamp, and the
// values written into L0 and Ln.
namespace tavrel::fast {

// Bytes of the window means of both images (see MeanImageRows).
std::size_t MeansBytes(const Geometry& g);

// Rows first .. end - 1 of the window means of both images: band 2b image 0,
// band 2b + 1 image 1 at the same column, over the valid region (0
// elsewhere); BoxMean(r), streamed row by row with the 2B bands in the lanes,
// into `means` (rows x columns x 2B floats). A band that starts below row 0
// forms its sums afresh, which agrees with the top-down pass only where every
// sum is exact (whole intensities). Uses the calling thread's arena of slot 0.
void MeanImageRows(const FloatArray& image0, const FloatArray& image1, const Geometry& g,
                   float* means, int first, int end);

// What one correlation job reads and writes.
struct CorrelationJob {
  FloatArray& L0;
  FloatArray& Ln;
  const FloatArray& image0;
  const FloatArray& image1;
  Geometry g;
  ImageMeans means;
  // The moments' running sums may be kept in float (see ExactInFloat), and
  // a block's rows may start anywhere.
  bool momentsInFloat = false;
};

// Rows first .. end - 1 of one block of disparity indices.
struct BlockRows {
  int block = 0;
  int first = 0;
  int end = 0;
};

// Rows first .. end - 1 of every block of `mine` that has any of them, the
// blocks moving down the image together, so that the cache lines of a
// pixel's L0 values are written while they are in cache. The caches hold the
// thread's padded image rows from one call to the next. Uses the calling
// thread's arena of slot 0.
void CorrelationRows(const CorrelationJob& job, const std::vector<BlockRows>& mine, int first,
                     int end, RowCache& image1Rows, RowCache& meanRows);

}  // namespace tavrel::fast
