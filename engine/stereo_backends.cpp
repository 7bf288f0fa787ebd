#include "engine/fast_engine.h"
#include "engine/reference_engine.h"
#include "engine/stereo_backend.h"
#include "engine/stereo_matcher.h"

namespace tavrel {
namespace {

// The straightforward stages, which define the results.
class ReferenceBackend final : public StereoBackend {
 public:
  void ComputeL0(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
                 int winRadL0, float maxScaler, MatchCost cost) const override {
    reference::ComputeL0(matcher, image0, image1, winRadL0, maxScaler, cost);
  }
  void Iterate(StereoMatcher& matcher, IterationSeries* /*series*/) const override {
    reference::Iterate(matcher);
  }
  void ExtractDispConf(StereoMatcher& matcher) const override {
    reference::ExtractDispConf(matcher);
  }
};

// The stages on every core with the vector units; an iteration series
// carries the column sums and the threads' pace from one iteration to the
// next.
class FastBackend final : public StereoBackend {
 public:
  void ComputeL0(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
                 int winRadL0, float maxScaler, MatchCost cost) const override {
    fast::ComputeL0(matcher, image0, image1, winRadL0, maxScaler, cost);
  }
  std::unique_ptr<IterationSeries> BeginSeries() const override {
    return std::make_unique<fast::IterationCarry>();
  }
  void Iterate(StereoMatcher& matcher, IterationSeries* series) const override {
    fast::Iterate(matcher, dynamic_cast<fast::IterationCarry*>(series));
  }
  void ExtractDispConf(StereoMatcher& matcher) const override { fast::ExtractDispConf(matcher); }
};

}  // namespace

const StereoBackend& BackendFor(EngineKind kind) {
  static const ReferenceBackend reference;
  static const FastBackend fast;
  if (kind == EngineKind::Reference) return reference;
  return fast;
}

}  // namespace tavrel
