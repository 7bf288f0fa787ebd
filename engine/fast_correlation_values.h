#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/fast_match_rows.h"
#include "engine/fast_square_means.h"
#include "engine/float_array.h"

// The normalized-correlation initial match values, a block of kLanes
// disparity indices at a time: the window means of both images, then per
// block row the moments' box means, the correlation, the clamp, and the
// values written into L0 and Ln.
namespace tavrel::fast {

// What the correlation values are made of.
struct CorrelationInputs {
  const FloatArray& image0;
  const FloatArray& image1;
  Geometry g;
  // The moments' running sums may be kept in float (see ExactInFloat), a
  // block's rows may start anywhere, and the squares' box means are shared
  // by all indices (see SquareMeans).
  bool momentsInFloat = false;
};

// A thread's padded rows of image 1 and of its window means, kept from one
// row (and one call) to the next.
struct CorrelationCaches {
  explicit CorrelationCaches(const Geometry& g) : image1Rows(g, g.bands), meanRows(g, g.bands) {}
  static std::size_t Bytes(const Geometry& g) { return 2 * RowCache::Bytes(g, g.bands); }

  RowCache image1Rows;
  RowCache meanRows;
};

// Blocks first .. end - 1 of kLanes disparity indices.
struct BlockRange {
  int first = 0;
  int end = 0;
};

// The correlation values row by row, in bounded memory: the window means of
// both images and each block's moments stream down the image together. The
// buffers come from `arena`, which the maker resets.
//
// A maker may take some of the blocks only: every value of a block depends on
// that block's indices and the window means alone. It may also start below
// the top, forming its sums afresh at row `first`, which agrees with the
// top-down pass only where every sum is exact (momentsInFloat).
class CorrelationRowMaker {
 public:
  CorrelationRowMaker(const CorrelationInputs& in, ThreadArena& arena);
  CorrelationRowMaker(const CorrelationInputs& in, ThreadArena& arena, int first,
                      BlockRange blocks);

  // Row i, rows ascending from `first`: L0's values of the maker's blocks
  // into l0 (columns x disparities floats; skipped when null), and the same
  // cleared outside the volume's interior, Ln's first values, into ln.
  void Row(int i, float* l0, float* ln);

  // The heap one maker of every block (or of `blocks` of them) holds: its
  // arena's bytes and its caches. With momentsInFloat false, the larger of
  // the two layouts, so that a figure made without the images covers both.
  static std::size_t Bytes(const Geometry& g, bool momentsInFloat);
  static std::size_t Bytes(const Geometry& g, int blocks, bool momentsInFloat);

 private:
  static std::size_t ArenaBytes(const Geometry& g, int blocks, bool momentsInFloat);

  CorrelationInputs in_;
  std::optional<StreamingBoxMean> means_;
  // With moments in float: the squares' means, made once per row.
  std::optional<SquareMeans> squares_;
  std::vector<BlockStream> streams_;
  CorrelationCaches caches_;
  float* values_ = nullptr;
};

}  // namespace tavrel::fast
