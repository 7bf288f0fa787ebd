#include <gtest/gtest.h>

#include <random>

#include "bench/heap_meter.h"
#include "engine/float_array.h"
#include "engine/streamed_engine.h"
#include "tests/engine_test_support.h"

// The heap a streamed job really takes, counted by this program's operator
// new, against the figure the memory check relies on.
namespace tavrel {
namespace {

class Discard : public DispConfSink {
 public:
  void Row(int /*row*/, const float* /*dispConf*/) override {}
};

// Small objects (stages, channels, threads' state, allocator rounding) come
// on top of the rings and scratch that the formula counts.
constexpr double kSmallObjects = 64 * 1024;

TEST(StreamedMemory, PeakHeapIsTheFormulasFigure) {
  std::mt19937 rng(4);
  const testing::ImagePair images = testing::ShiftedPair(150, 220, 3, -12, rng);
  struct Run {
    int iterations;
    bool sad;
    int threads;
  };
  for (const Run run :
       {Run{0, true, 1}, Run{6, true, 1}, Run{6, true, 2}, Run{7, false, 3}, Run{1, false, 2}}) {
    const StereoParams job{
        -30, 10, 2, 2, 1, run.iterations, 0.96f, run.sad ? MatchCost::Sad : MatchCost::Correlation};
    Discard sink;
    const std::size_t before = bench::HeapInUse();
    bench::ResetHeapPeak();
    RunStreamed(images.image0, images.image1, job, run.threads, sink);
    const double measured = static_cast<double>(bench::HeapPeak() - before);
    const double formula = StreamedPeakBytes(220, 150, 3, job, run.threads);
    EXPECT_GE(measured, formula) << run.iterations << " iterations, " << run.threads << " threads";
    EXPECT_LE(measured, formula + kSmallObjects)
        << run.iterations << " iterations, " << run.threads << " threads";
    EXPECT_LT(formula, VolumePeakBytes(220, 150, job));
  }
}

}  // namespace
}  // namespace tavrel
