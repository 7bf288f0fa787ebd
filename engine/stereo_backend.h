#pragma once

#include <memory>

#include "engine/float_array.h"
#include "engine/stereo_params.h"

namespace tavrel {

class StereoMatcher;

// What one iteration of a series leaves for the next (see
// StereoBackend::BeginSeries); each backend keeps its own kind.
class IterationSeries {
 public:
  virtual ~IterationSeries() = default;
};

// The implementation of the heavy stages. Every backend gives the bits of
// the straightforward one for any thread count and vector path; a new one
// (another processor, another device) implements this and nothing else.
// StereoMatcher checks each stage's preconditions before calling in, and
// alone keeps the count of iterations and whether L0 is ready.
class StereoBackend {
 public:
  virtual ~StereoBackend() = default;

  // Fills L0 from the two images, copies it into Ln (0 outside the
  // interior).
  virtual void ComputeL0(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
                         int winRadL0, float maxScaler, MatchCost cost) const = 0;

  // State carried from one iteration of a series to the next, or null when
  // the backend keeps none.
  virtual std::unique_ptr<IterationSeries> BeginSeries() const { return nullptr; }

  // One cooperative iteration of Ln in place; series may be null.
  virtual void Iterate(StereoMatcher& matcher, IterationSeries* series) const = 0;

  // DispConf (disparity, confidence) of every pixel from Ln.
  virtual void ExtractDispConf(StereoMatcher& matcher) const = 0;
};

}  // namespace tavrel
