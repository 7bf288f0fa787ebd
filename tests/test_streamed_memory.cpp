#include <gtest/gtest.h>

#include <random>

#include "bench/heap_meter.h"
#include "engine/float_array.h"
#include "engine/stereo_matcher.h"
#include "engine/streamed_engine.h"
#include "engine/streamed_volumes.h"
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

// ComputeL0 alone on stored volumes: each thread's row maker, which the
// pass's figure counts whichever way the threads share the work (bands of
// rows for whole intensities, blocks of indices for correlation of others).
TEST(StreamedMemory, LoneComputeL0TakesThePassesFigure) {
  std::mt19937 rng(5);
  const testing::ImagePair whole = testing::ShiftedPair(150, 220, 3, -12, rng);
  const FloatArray fraction0 = testing::RandomFloats(150, 220, 3, 0.0f, 255.0f, rng);
  const FloatArray fraction1 = testing::RandomFloats(150, 220, 3, 0.0f, 255.0f, rng);
  for (const bool sad : {true, false}) {
    for (const bool fractional : {false, true}) {
      for (const int threads : {1, 2, 3}) {
        testing::ThreadCount scope(threads);
        const StereoParams job{-30, 10, 2,     2,
                               1,   0,  0.96f, sad ? MatchCost::Sad : MatchCost::Correlation};
        StereoMatcher m = testing::MatcherWithGrids(220, 150, 40, -30);
        const FloatArray& image0 = fractional ? fraction0 : whole.image0;
        const FloatArray& image1 = fractional ? fraction1 : whole.image1;
        const std::size_t before = bench::HeapInUse();
        bench::ResetHeapPeak();
        m.ComputeL0(image0, image1, job.WinRadL0, job.MaxScaler, job.Cost);
        const double measured = static_cast<double>(bench::HeapPeak() - before);
        const double formula = static_cast<double>(
            streamed::VolumePassBytes(streamed::ShapeOf(220, 150, 3, job), threads));
        const std::string where = std::string(sad ? "SAD" : "correlation") +
                                  (fractional ? " fractional, " : " whole, ") +
                                  std::to_string(threads) + " threads";
        // Fractional intensities share less (SAD keeps to one thread,
        // correlation's blocks take less than whole rows): the figure is
        // then a bound.
        if (!fractional) {
          EXPECT_GE(measured, formula) << where;
        }
        EXPECT_LE(measured, formula + kSmallObjects) << where;
      }
    }
  }
}

// Each thread adds a row maker, but beyond 64 MB together the makers keep
// to a quarter of one volume, whatever the thread count.
TEST(StreamedMemory, LoneComputeL0OnManyThreadsKeepsToAQuarterOfAVolume) {
  for (const MatchCost cost : {MatchCost::Sad, MatchCost::Correlation}) {
    const StereoParams small{-8, 8, 2, 2, 1, 0, 0.96f, cost};
    const streamed::JobShape few = streamed::ShapeOf(40, 60, 1, small);
    EXPECT_EQ(streamed::VolumePassBytes(few, 8), 8 * streamed::VolumePassBytes(few, 1));

    const StereoParams huge{0, 290, 7, 2, 1, 0, 0.96f, cost};
    const streamed::JobShape large = streamed::ShapeOf(1988, 2880, 3, huge);
    const double volume = 1988.0 * 2880 * 290 * sizeof(float);
    const double many = static_cast<double>(streamed::VolumePassBytes(large, 256));
    EXPECT_LE(many, 0.25 * volume);
    EXPECT_GE(many, 2.0 * static_cast<double>(streamed::VolumePassBytes(large, 1)));
  }
}

}  // namespace
}  // namespace tavrel
