#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/fast_correlation_values.h"
#include "engine/fast_parallel.h"
#include "engine/fast_sad_values.h"
#include "engine/job_memory.h"
#include "engine/streamed_initial_inputs.h"
#include "engine/streamed_stages.h"

// L0 as rows, made by the volume engine's row kernels on the chosen
// instruction-set path: each block of disparity indices carries the box
// means of its similarities or moments down the image in running sums, as
// the whole-grid computation does, so every value goes through the same
// operations; only the rings the box means need are held.
namespace tavrel::streamed {

// Makes the rows of L0, cleared outside the interior, in ascending order;
// the same row whole into `whole` where that is not null.
class InitialValuesStage::Producer {
 public:
  virtual ~Producer() = default;
  virtual void Make(int row, float* whole, float* out) = 0;
};

fast::Geometry GeometryOf(const JobShape& s) {
  fast::Geometry g;
  g.rows = s.rows;
  g.columns = s.columns;
  g.disparities = s.disparities;
  g.minDisparity = s.minDisparity;
  g.bands = s.bands;
  g.radius = s.winRadL0;
  return g;
}

void RequireExactCounts(const JobShape& s) {
  constexpr int kExactInFloat = 1 << 24;
  if (s.bands > kExactInFloat || s.disparities > kExactInFloat) {
    throw std::invalid_argument("a streamed job takes at most " + std::to_string(kExactInFloat) +
                                " bands and disparities");
  }
}

fast::SadInputs SadInputsOf(const JobShape& s, const FloatArray& image0, const FloatArray& image1) {
  const bool bytes = fast::WholeIntensities(image0, 0.0f) && fast::WholeIntensities(image1, 0.0f);
  return {image0, image1, bytes, GeometryOf(s), s.maxScaler};
}

fast::CorrelationInputs CorrelationInputsOf(const JobShape& s, const FloatArray& image0,
                                            const FloatArray& image1) {
  return {image0, image1, GeometryOf(s),
          fast::ExactInFloat(s.winRadL0) && WholeIntensities(image0, image1)};
}

bool MomentsInFloat(const JobShape& s) {
  return fast::ExactInFloat(s.winRadL0) && s.wholeIntensities;
}

namespace {

class SadProducer : public InitialValuesStage::Producer {
 public:
  SadProducer(const JobShape& s, const FloatArray& image0, const FloatArray& image1)
      : maker_(SadInputsOf(s, image0, image1), 0, arena_, extent_) {}

  void Make(int row, float* whole, float* out) override { maker_.Row(row, whole, out); }

 private:
  fast::ThreadArena arena_;
  fast::MeanExtent extent_;  // a stream from the top needs no check of it
  fast::SadRowMaker maker_;
};

class CorrelationProducer : public InitialValuesStage::Producer {
 public:
  CorrelationProducer(const JobShape& s, const FloatArray& image0, const FloatArray& image1)
      : maker_(CorrelationInputsOf(s, image0, image1), arena_) {}

  void Make(int row, float* whole, float* out) override { maker_.Row(row, whole, out); }

 private:
  fast::ThreadArena arena_;
  fast::CorrelationRowMaker maker_;
};

}  // namespace

// The row kernels run on the pipeline's thread alone. Sharing a row's blocks
// of indices among threads makes the threads meet once per row; on a
// machine shared with other work, where a woken thread waits for a core,
// two threads took three to six times as long as one.
InitialValuesStage::InitialValuesStage(const JobShape& shape, const FloatArray& image0,
                                       const FloatArray& image1, int keep, Threads /*threads*/)
    : shape_(shape), ring_(keep, shape.RowSize()) {
  RequireExactCounts(shape_);
  if (shape.sad) {
    producer_ = std::make_unique<SadProducer>(shape_, image0, image1);
  } else {
    producer_ = std::make_unique<CorrelationProducer>(shape_, image0, image1);
  }
}

InitialValuesStage::~InitialValuesStage() = default;

std::size_t InitialValuesStage::Bytes(const JobShape& shape, int keep) {
  const fast::Geometry g = GeometryOf(shape);
  const std::size_t producer = shape.sad
                                   ? fast::SadRowMaker::Bytes(g)
                                   : fast::CorrelationRowMaker::Bytes(g, MomentsInFloat(shape));
  return producer + RowRing::Bytes(keep, shape.RowSize());
}

void InitialValuesStage::WriteWholeRows(std::function<float*(int)> destination) {
  whole_ = std::move(destination);
}

const float* InitialValuesStage::Row(int row) {
  while (ring_.newest() < row) {
    const int next = ring_.newest() + 1;
    producer_->Make(next, whole_ ? whole_(next) : nullptr, ring_.Make(next));
  }
  return ring_.Row(row);
}

}  // namespace tavrel::streamed
