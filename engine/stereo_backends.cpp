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
  void ComputeL0(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
                 int winRadL0, float maxScaler, MatchCost cost, int iterations) const override {
    reference::ComputeL0(matcher, image0, image1, winRadL0, maxScaler, cost);
    Iterate(matcher, iterations);
  }
  void Iterate(StereoMatcher& matcher, int count) const override {
    for (int i = 0; i < count; ++i) reference::Iterate(matcher);
  }
  void ExtractDispConf(StereoMatcher& matcher) const override {
    reference::ExtractDispConf(matcher);
  }
};

// The streamed stages with the matcher's volumes as source and sink: a
// pass over the rows makes L0 and runs several iterations on its way, or
// runs several iterations of Ln in place, its stages shared among the
// threads as a pipeline.
class FastBackend final : public StereoBackend {
 public:
  void ComputeL0(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
                 int winRadL0, float maxScaler, MatchCost cost, int iterations) const override {
    streamed::JobShape shape = ShapeOf(matcher, iterations);
    shape.bands = image0.bands();
    shape.winRadL0 = winRadL0;
    shape.maxScaler = maxScaler;
    shape.sad = cost == MatchCost::Sad;
    // Fresh volumes are first written here; huge pages spare the system
    // most of the faults of mapping them.
    fast::AdviseHugePages(*matcher.L0);
    fast::AdviseHugePages(*matcher.Ln);
    streamed::MakeVolumes(shape, image0, image1, *matcher.L0, *matcher.Ln, EngineThreads());
  }
  int PassIterations(const StereoMatcher& matcher, int wanted) const override {
    return streamed::PassIterations(ShapeOf(matcher, wanted), EngineThreads(), wanted);
  }
  void Iterate(StereoMatcher& matcher, int count) const override {
    streamed::IterateVolume(ShapeOf(matcher, count), *matcher.L0, *matcher.Ln, EngineThreads());
  }
  void ExtractDispConf(StereoMatcher& matcher) const override { fast::ExtractDispConf(matcher); }

 private:
  static streamed::JobShape ShapeOf(const StereoMatcher& matcher, int iterations) {
    streamed::JobShape shape;
    shape.rows = matcher.Rows;
    shape.columns = matcher.Columns;
    shape.disparities = matcher.NumDisparities;
    shape.minDisparity = matcher.MinDisparity;
    shape.winRadRC = matcher.WinRadRC;
    shape.winRadD = matcher.WinRadD;
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
