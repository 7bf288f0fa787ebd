#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/float_array.h"

namespace tavrel {

// How a disparity map is compared with a ground truth.
struct ScoreParameters {
  // Pixels closer than this to any edge of the image are left out.
  int border = 10;
  // With a mask, only pixels whose mask value equals this one are evaluated:
  // the benchmarks' masks hold 255 (evaluate), 128 (occluded) and 0 (unknown).
  int maskValue = 255;
  // False: the ground truth is in the benchmarks' sign (a point at column x of
  // image 0 shows at x - D in image 1) and each estimate d is compared as -d.
  // True: the two maps share one sign (a ground truth in the program's own
  // sign, or a result exported in the benchmarks' sign) and d is compared as is.
  bool sameSign = false;
};

// The figures of one comparison. A pixel is evaluated when its ground truth
// is finite, it lies at least `border` pixels inside every edge, and the mask
// (when given) holds the chosen value there. An evaluated pixel whose estimate
// is not finite has no estimate: it counts as wrong at every threshold and
// is left out of the error statistics. Every share is a percentage (0 to 100);
// with no evaluated (or no estimated) pixel the figures it needs are NaN.
struct Score {
  std::int64_t evaluatedPixels = 0;
  std::int64_t estimatedPixels = 0;  // evaluated pixels with a finite estimate
  // Share of evaluated pixels whose error |d - gt| exceeds 0.5, 1, 2, 4 pixels.
  double bad0_5 = 0.0;
  double bad1 = 0.0;
  double bad2 = 0.0;
  double bad4 = 0.0;
  // Mean absolute and root-mean-square error over the estimated pixels.
  double mae = 0.0;
  double rms = 0.0;
  // Error quantiles over the estimated pixels, by nearest rank: with the n
  // errors sorted ascending, aP is the k-th one for k = ceil(P / 100 * n), the
  // smallest error that at least P % of the errors do not exceed.
  double a50 = 0.0;
  double a90 = 0.0;
  double a95 = 0.0;
  double a99 = 0.0;
  // Share of evaluated pixels with a finite estimate.
  double coverage = 0.0;
};

// Compares band 0 of `disparity` with band 0 of `groundTruth` (and of `mask`
// when not null; its values are whole grey levels). Throws
// std::invalid_argument when the grids differ in size or the border is negative.
Score ScoreDisparity(const FloatArray& disparity, const FloatArray& groundTruth,
                     const FloatArray* mask, const ScoreParameters& parameters);

// Reads a disparity map: a PFM file (grey, either byte order), or the
// program's output file (its disparity column). The kind is told by the
// content, not the name. Throws std::runtime_error saying why a file cannot
// be used.
std::unique_ptr<FloatArray> LoadDisparityMap(const std::string& path);

// Reads a ground truth: a grey PFM file, non-finite values where unknown.
std::unique_ptr<FloatArray> LoadGroundTruth(const std::string& path);

// Reads a mask picture (PGM, PNG or any image the program reads) as one band
// of grey levels. Throws std::runtime_error when it cannot be read.
std::unique_ptr<FloatArray> LoadMask(const std::string& path);

}  // namespace tavrel
