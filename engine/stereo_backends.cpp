#include <algorithm>

#include "engine/fast_extraction.h"
#include "engine/fast_memory.h"
#include "engine/job_memory.h"
#include "engine/reference_engine.h"
#include "engine/stereo_backend.h"
#include "engine/stereo_matcher.h"
#include "engine/streamed_volumes.h"

namespace tavrel {
namespace {

// The straightforward stages, which define the results; one iteration at a
// time.
class ReferenceBackend final : public StereoBackend {
 public:
  void ComputeL0(StageGrids& grids, const FloatArray& image0, const FloatArray& image1,
                 int winRadL0, float maxScaler, MatchCost cost, int iterations) const override {
    reference::ComputeL0(grids, image0, image1, winRadL0, maxScaler, cost);
    Iterate(grids, iterations);
  }
  void Iterate(StageGrids& grids, int count) const override {
    for (int i = 0; i < count; ++i) reference::Iterate(grids);
  }
  void ExtractDispConf(StageGrids& grids) const override { reference::ExtractDispConf(grids); }
};

// The streamed stages with the matcher's volumes as source and sink: a
// pass over the rows makes L0 and runs several iterations on its way, or
// runs several iterations of Ln in place, its stages shared among the
// threads as a pipeline.
class FastBackend final : public StereoBackend {
 public:
  void ComputeL0(StageGrids& grids, const FloatArray& image0, const FloatArray& image1,
                 int winRadL0, float maxScaler, MatchCost cost, int iterations) const override {
    streamed::JobShape shape = ShapeOf(grids, iterations);
    shape.bands = image0.bands();
    shape.winRadL0 = winRadL0;
    shape.maxScaler = maxScaler;
    shape.sad = cost == MatchCost::Sad;
    shape.wholeIntensities = CorrelationOfWholeIntensities(image0, image1, shape.sad);
    // Fresh volumes are first written here; huge pages spare the system
    // most of the faults of mapping them.
    fast::AdviseHugePages(*grids.L0);
    fast::AdviseHugePages(*grids.Ln);
    streamed::MakeVolumes(shape, image0, image1, *grids.L0, *grids.Ln, EngineThreads());
  }
  int PassIterations(const StageGrids& grids, int wanted) const override {
    return streamed::PassIterations(ShapeOf(grids, wanted), EngineThreads(), wanted);
  }
  void Iterate(StageGrids& grids, int count) const override {
    streamed::IterateVolume(ShapeOf(grids, count), *grids.L0, *grids.Ln, EngineThreads(),
                            grids.LnZeroOutsideInterior);
  }
  void ExtractDispConf(StageGrids& grids) const override { fast::ExtractDispConf(grids); }

 private:
  static streamed::JobShape ShapeOf(const StageGrids& grids, int iterations) {
    streamed::JobShape shape;
    shape.rows = grids.Rows;
    shape.columns = grids.Columns;
    shape.disparities = grids.NumDisparities;
    shape.minDisparity = grids.MinDisparity;
    shape.winRadRC = grids.WinRadRC;
    shape.winRadD = grids.WinRadD;
    shape.iterations = std::max(iterations, 0);
    return shape;
  }
};

}  // namespace

const StereoBackend& BackendFor(EngineKind kind) {
  static const ReferenceBackend reference;
  static const FastBackend fast;
  if (kind == EngineKind::Reference) return reference;
  return fast;
}

}  // namespace tavrel
