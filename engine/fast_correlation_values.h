#pragma once

#include <cstddef>
#include <optional>
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

// What the correlation values are made of.
struct CorrelationInputs {
  const FloatArray& image0;
  const FloatArray& image1;
  Geometry g;
  // The moments' running sums may be kept in float (see ExactInFloat), and
  // a block's rows may start anywhere.
  bool momentsInFloat = false;
};

// What one correlation job of the whole volume reads and writes.
struct CorrelationJob {
  FloatArray& L0;
  FloatArray& Ln;
  CorrelationInputs in;
  ImageMeans means;
};

// A thread's padded rows of image 1 and of its window means, kept from one
// row (and one call) to the next.
struct CorrelationCaches {
  explicit CorrelationCaches(const Geometry& g) : image1Rows(g, g.bands), meanRows(g, g.bands) {}
  static std::size_t Bytes(const Geometry& g) { return 2 * RowCache::Bytes(g, g.bands); }

  RowCache image1Rows;
  RowCache meanRows;
};

// Rows first .. end - 1 of one block of disparity indices.
struct BlockRows {
  int block = 0;
  int first = 0;
  int end = 0;
};

// Rows first .. end - 1 of every block of `mine` that has any of them, the
// blocks moving down the image together, so that the cache lines of a
// pixel's L0 values are written while they are in cache. Uses the calling
// thread's arena of slot 0.
void CorrelationRows(const CorrelationJob& job, const std::vector<BlockRows>& mine, int first,
                     int end, CorrelationCaches& caches);

// The correlation values row by row from the top, every disparity index, in
// bounded memory: the window means of both images and each block's moments
// stream down the image together. The buffers come from `arena`, which the
// maker resets.
class CorrelationRowMaker {
 public:
  CorrelationRowMaker(const CorrelationInputs& in, ThreadArena& arena);

  // Row i, rows ascending from 0: L0's values into l0 (columns x
  // disparities floats; skipped when null), and the same cleared outside the
  // volume's interior, Ln's first values, into ln.
  void Row(int i, float* l0, float* ln);

  // The heap one maker holds: its arena's bytes and its caches.
  static std::size_t Bytes(const Geometry& g);

 private:
  static std::size_t ArenaBytes(const Geometry& g);

  CorrelationInputs in_;
  std::optional<StreamingBoxMean> means_;
  std::vector<BlockStream> streams_;
  CorrelationCaches caches_;
  float* values_ = nullptr;
};

}  // namespace tavrel::fast
