#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "bench/heap_meter.h"
#include "engine/float_array.h"
#include "engine/isa_path.h"
#include "engine/job_memory.h"
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

// The figure for the images is what the job takes, for whole intensities
// (correlation's smaller layout) and fractional ones alike; the figure made
// without the images covers both.
TEST(StreamedMemory, PeakHeapIsTheFormulasFigure) {
  std::mt19937 rng(4);
  const testing::ImagePair whole = testing::ShiftedPair(150, 220, 3, -12, rng);
  const FloatArray fraction0 = testing::RandomFloats(150, 220, 3, 0.0f, 255.0f, rng);
  const FloatArray fraction1 = testing::RandomFloats(150, 220, 3, 0.0f, 255.0f, rng);
  struct Run {
    int iterations;
    bool sad;
    int threads;
    bool fractional;
  };
  for (const Run run : {Run{0, true, 1, false}, Run{6, true, 1, false}, Run{6, true, 2, false},
                        Run{7, false, 3, false}, Run{1, false, 2, false}, Run{1, false, 2, true},
                        Run{3, true, 2, true}}) {
    const StereoParams job{
        -30, 10, 2, 2, 1, run.iterations, 0.96f, run.sad ? MatchCost::Sad : MatchCost::Correlation};
    const FloatArray& image0 = run.fractional ? fraction0 : whole.image0;
    const FloatArray& image1 = run.fractional ? fraction1 : whole.image1;
    const std::string where = std::to_string(run.iterations) + " iterations, " +
                              std::to_string(run.threads) + " threads" +
                              (run.fractional ? ", fractional" : "");
    Discard sink;
    const std::size_t before = bench::HeapInUse();
    bench::ResetHeapPeak();
    RunStreamed(image0, image1, job, run.threads, sink);
    const double measured = static_cast<double>(bench::HeapPeak() - before);
    const double formula = StreamedPeakBytes(image0, image1, job, run.threads);
    EXPECT_GE(measured, formula) << where;
    EXPECT_LE(measured, formula + kSmallObjects) << where;
    EXPECT_GE(StreamedPeakBytes(220, 150, 3, job, run.threads), formula) << where;
    EXPECT_LT(formula, VolumePeakBytes(220, 150, job));
  }
}

// Rows wide enough that the rings, column sums and channels take blocks of
// whole huge pages (the column sums above 1 MB at 320 disparities): the
// figure counts the blocks as allocated.
TEST(StreamedMemory, PeakHeapCountsBlocksOfHugePages) {
  std::mt19937 rng(9);
  const testing::ImagePair images = testing::ShiftedPair(420, 24, 1, -20, rng);
  const StereoParams job{-300, 20, 1, 2, 1, 3, 0.96f, MatchCost::Sad};
  for (const int threads : {1, 2}) {
    Discard sink;
    const std::size_t before = bench::HeapInUse();
    bench::ResetHeapPeak();
    RunStreamed(images.image0, images.image1, job, threads, sink);
    const double measured = static_cast<double>(bench::HeapPeak() - before);
    const double formula = StreamedPeakBytes(images.image0, images.image1, job, threads);
    EXPECT_GE(measured, formula) << threads << " threads";
    EXPECT_LE(measured, formula + kSmallObjects) << threads << " threads";
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
            streamed::VolumePassBytes(streamed::ShapeOf(image0, image1, job), threads));
        const double unknown = static_cast<double>(
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
        EXPECT_GE(unknown, formula) << where;
      }
    }
  }
}

// For whole intensities each thread adds a row maker, but beyond 64 MB
// together the makers keep to a quarter of one volume, whatever the thread
// count and whether or not the intensities are known.
TEST(StreamedMemory, LoneComputeL0OnManyThreadsKeepsToAQuarterOfAVolume) {
  for (const MatchCost cost : {MatchCost::Sad, MatchCost::Correlation}) {
    const StereoParams small{-8, 8, 2, 2, 1, 0, 0.96f, cost};
    streamed::JobShape few = streamed::ShapeOf(40, 60, 1, small);
    few.wholeIntensities = true;
    EXPECT_EQ(streamed::VolumePassBytes(few, 8), 8 * streamed::VolumePassBytes(few, 1));

    for (const bool known : {false, true}) {
      const StereoParams huge{0, 290, 7, 2, 1, 0, 0.96f, cost};
      streamed::JobShape large = streamed::ShapeOf(1988, 2880, 3, huge);
      large.wholeIntensities = known;
      const double volume = 1988.0 * 2880 * 290 * sizeof(float);
      const double many = static_cast<double>(streamed::VolumePassBytes(large, 256));
      EXPECT_LE(many, 0.25 * volume);
      EXPECT_GE(many, 2.0 * static_cast<double>(streamed::VolumePassBytes(large, 1)));
    }
  }
}

// A figure asked for before anything has chosen the instruction-set path is
// the one for the path the job will then take. Run in a fresh process (the
// thread-safe death-test style starts the program anew), where nothing has
// chosen it yet.
TEST(StreamedMemory, FiguresAskedFirstAreThoseOfTheJobsPath) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const StereoParams job{-30, 10, 2, 2, 1, 4, 0.96f, MatchCost::Sad};
  const JobShape shape = MemoryShapeOf(150, 220, 3, job);
  EXPECT_EXIT(
      {
        const double streamedFirst = StreamedPeakBytes(150, 220, 3, job, 2);
        const double matcherFirst = MatcherPeakBytes(shape, 2);
        ActiveIsaPath();
        const bool same = streamedFirst == StreamedPeakBytes(150, 220, 3, job, 2) &&
                          matcherFirst == MatcherPeakBytes(shape, 2);
        std::exit(same ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tavrel
