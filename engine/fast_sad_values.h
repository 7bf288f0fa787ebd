#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

#include "engine/fast_match_rows.h"
#include "engine/float_array.h"

// The SAD initial match values of a band of rows: similarity box means, the
// background level (their mean over the indices, box-averaged once more), the
// scaling against it and the clamp, each cell of L0 and Ln written once.
namespace tavrel::fast {

// What the SAD values are made of.
struct SadInputs {
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

// The SAD values row by row, every disparity index, from row `first` down:
// every block's similarity stream steps down to the row, the raw values wait
// in a ring of r + 2 rows (L0's layout) until the background level's stream,
// which needs rows up to q + r + 1, reaches row q, and then row q is scaled
// and clamped. Rows below `first` start their box sums afresh.
// The buffers come from `arena`, which the maker resets; `extent` gathers
// the pixel means it meets.
class SadRowMaker {
 public:
  SadRowMaker(const SadInputs& in, int first, ThreadArena& arena, MeanExtent& extent);

  // Row q, rows ascending from `first`: L0's values into l0 (columns x
  // disparities floats; skipped when null), and the same cleared outside the
  // volume's interior, Ln's first values, into ln.
  void Row(int q, float* l0, float* ln);

  // The heap one maker holds: its arena's bytes and its cache of image rows.
  static std::size_t Bytes(const Geometry& g);

 private:
  static std::size_t ArenaBytes(const Geometry& g);
  float* RawOf(int i) { return ring_ + static_cast<std::size_t>(i % ringRows_) * rawRow_; }
  void MakeRawRow(int j);
  void MakeMeans(int j, float* means);
  void PixelSums(const float* raw, float* sums);
  void WriteRow(int q, const float* background, float* l0, float* ln);

  SadInputs in_;
  const Geometry& g_;
  MeanExtent& extent_;
  std::size_t rawRow_;
  int ringRows_;
  std::vector<BlockStream> streams_;
  std::optional<StreamingBoxMean> level_;
  RowCache image1Rows_;
  float* ring_ = nullptr;
  float* indexMajor_ = nullptr;
  float* levels_ = nullptr;  // the capped background level of each pixel of a row
};

}  // namespace tavrel::fast
