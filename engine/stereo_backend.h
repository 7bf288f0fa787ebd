#pragma once

#include "engine/float_array.h"
#include "engine/stage_grids.h"
#include "engine/stereo_params.h"

namespace tavrel {

// The implementation of the heavy stages. Every backend gives the bits of
// the straightforward one for any thread count and vector path; a new one
// (another processor, another device) implements this and nothing else.
// StereoMatcher checks each stage's preconditions before calling in with
// its grids, and alone keeps the count of iterations and whether L0 is ready.
class StereoBackend {
 public:
  virtual ~StereoBackend() = default;

  // Fills L0 from the two images, copies it into Ln (0 outside the
  // interior), then runs `iterations` iterations of Ln, as many as
  // PassIterations allows.
  virtual void ComputeL0(StageGrids& grids, const FloatArray& image0, const FloatArray& image1,
                         int winRadL0, float maxScaler, MatchCost cost, int iterations) const = 0;

  // How many of `wanted` iterations (1 or more) the backend runs at once,
  // at least 1. Between the calls of a pass nothing can stop it, so a
  // caller that may be interrupted stops only between passes.
  virtual int PassIterations(const StageGrids& /*grids*/, int /*wanted*/) const { return 1; }

  // `count` cooperative iterations of Ln in place, 1 to PassIterations.
  virtual void Iterate(StageGrids& grids, int count) const = 0;

  // DispConf (disparity, confidence) of every pixel from Ln.
  virtual void ExtractDispConf(StageGrids& grids) const = 0;
};

}  // namespace tavrel
