#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "display/result_maps.h"
#include "engine/float_array.h"
#include "engine/isa_path.h"
#include "engine/job_memory.h"
#include "engine/stereo_matcher.h"
#include "engine/streamed_channel.h"
#include "engine/streamed_engine.h"
#include "engine/streamed_rows.h"
#include "engine/streamed_stages.h"
#include "files/output_file.h"
#include "files/pfm_writing.h"
#include "tests/batch_test_support.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

using testing::FirstDifference;

struct Case {
  int rows = 30;
  int columns = 34;
  int bands = 1;
  StereoParams job;

  std::string Describe() const {
    return std::to_string(columns) + "x" + std::to_string(rows) + "x" + std::to_string(bands) +
           " d " + std::to_string(job.MinDisparity) + ".." + std::to_string(job.MaxDisparity) +
           " r " + std::to_string(job.WinRadL0) + "/" + std::to_string(job.WinRadRC) + "/" +
           std::to_string(job.WinRadD) + " n " + std::to_string(job.NumIterations) +
           (job.Cost == MatchCost::Sad ? " sad" : " corr");
  }
};

// Image 1 is image 0 moved by a disparity of the range with some noise and
// fractional levels, so that matches are strong and sums round.
testing::ImagePair Images(const Case& c, std::mt19937& rng) {
  const int shift = (c.job.MinDisparity + c.job.MaxDisparity) / 2;
  testing::ImagePair pair = testing::ShiftedPair(c.columns, c.rows, c.bands, shift, rng);
  std::uniform_real_distribution<float> noise(-6.0f, 6.0f);
  for (std::size_t i = 0; i < pair.image1.size(); ++i) {
    pair.image1.data()[i] = std::clamp(pair.image1.data()[i] + noise(rng), 0.0f, 255.0f);
  }
  return pair;
}

FloatArray ReferenceResult(const Case& c, const testing::ImagePair& images) {
  StereoMatcher matcher;
  matcher.Engine = EngineKind::Reference;
  matcher.Run(images.image0, images.image1, c.job);
  return testing::Copy(*matcher.DispConf());
}

FloatArray StreamedResult(const Case& c, const testing::ImagePair& images, int threads) {
  FloatArray dispConf(c.columns, c.rows, 2);
  dispConf.Fill(-7.0f);
  DispConfPlane plane(dispConf);
  RunStreamed(images.image0, images.image1, c.job, threads, plane);
  return dispConf;
}

// On every instruction-set path this processor runs, for each thread count.
void ExpectSameAsReference(const Case& c, std::mt19937& rng, std::vector<int> threads = {1}) {
  const testing::ImagePair images = Images(c, rng);
  const FloatArray expected = ReferenceResult(c, images);
  for (const IsaPath path : testing::IsaPathsToCompare()) {
    testing::IsaPathScope scope(path);
    for (const int t : threads) {
      EXPECT_EQ(FirstDifference(StreamedResult(c, images, t), expected), -1)
          << c.Describe() << " on " << t << " threads, path " << IsaPathName(path);
    }
  }
}

// The same job as the memory check describes it.
JobShape MemoryShape(const Case& c) { return MemoryShapeOf(c.rows, c.columns, c.bands, c.job); }

Case Make(int rows, int columns, int bands, int minD, int maxD, int l0, int rc, int d,
          int iterations, bool sad) {
  Case c;
  c.rows = rows;
  c.columns = columns;
  c.bands = bands;
  c.job.MinDisparity = minD;
  c.job.MaxDisparity = maxD;
  c.job.WinRadL0 = l0;
  c.job.WinRadRC = rc;
  c.job.WinRadD = d;
  c.job.NumIterations = iterations;
  c.job.MaxScaler = 0.96f;
  c.job.Cost = sad ? MatchCost::Sad : MatchCost::Correlation;
  return c;
}

// Sizes at the interior's margins and below a window, radii at both limits,
// ranges that leave no interior index or no image-1 column, both measures,
// one and three bands, no iteration and many.
TEST(StreamedEngine, EdgeJobsMatchTheReference) {
  std::mt19937 rng(15);
  const std::vector<Case> cases = {
      Make(17, 17, 1, 0, 8, 0, 0, 0, 1, true),    // one interior row and column
      Make(16, 40, 1, 0, 10, 2, 2, 1, 2, true),   // no interior row
      Make(40, 16, 3, -4, 6, 2, 2, 1, 2, false),  // no interior column
      Make(30, 34, 1, 0, 6, 2, 2, 1, 2, true),    // no interior index
      Make(30, 34, 1, 0, 7, 2, 2, 2, 3, true),    // one interior index
      Make(12, 13, 1, 0, 5, 7, 7, 2, 1, true),    // smaller than the windows
      Make(18, 19, 3, 0, 9, 7, 7, 2, 4, false),
      Make(33, 35, 3, -9, 9, 7, 0, 0, 3, true),    // widest L0 window, narrowest iteration
      Make(33, 35, 1, -3, 12, 0, 7, 2, 3, false),  // widest iteration window
      Make(26, 30, 1, 40, 50, 3, 2, 1, 2, true),   // no image-1 column inside
      Make(26, 30, 3, -60, -45, 3, 2, 1, 2, false),
      Make(25, 31, 1, -2, 0, 1, 1, 1, 1, true),   // two indices
      Make(25, 31, 3, 3, 4, 1, 1, 1, 1, false),   // one index
      Make(40, 44, 3, -5, 10, 3, 2, 1, 0, true),  // no iteration
      Make(40, 44, 1, -5, 10, 3, 2, 1, 0, false),
      Make(36, 30, 1, -4, 12, 2, 1, 1, 25, true),  // many iterations
      Make(36, 30, 3, -4, 12, 2, 3, 2, 12, false),
  };
  for (const Case& c : cases) ExpectSameAsReference(c, rng);
}

TEST(StreamedEngine, RandomJobsMatchTheReference) {
  std::mt19937 rng(1501);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int trial = 0; trial < 40; ++trial) {
    const int count = pick(1, 22);
    const int minD = pick(-count - 6, 6);
    Case c = Make(pick(14, 44), pick(14, 50), pick(1, 3), minD, minD + count,
                  pick(0, kWinRadL0Limit - 1), pick(0, kWinRadRCLimit - 1),
                  pick(0, kWinRadDLimit - 1), pick(0, 6), pick(0, 2) != 0);
    c.job.MaxScaler = pick(0, 3) == 0 ? 1.0f : 0.96f;
    ExpectSameAsReference(c, rng);
  }
}

// L0's rows as the streamed stage makes them against the straightforward
// engine's first Ln (L0 cleared outside the interior), bit for bit on every
// path: disparity counts around the kernels' 16 lanes, widths that leave a
// remainder to the vectors, whole intensities (where the kernels take their
// exact shortcuts: float differences, moments summed in float) and
// fractional ones, radii at both limits, images below the windows, one and
// three bands.
TEST(InitialValuesStage, RowsAreTheStraightforwardInitialValues) {
  struct L0Case {
    int rows, columns, bands, minD, count, radius;
    bool sad, whole;
  };
  const std::vector<L0Case> cases = {
      {30, 40, 1, -5, 16, 2, true, true},   {31, 41, 3, -9, 17, 1, true, false},
      {26, 29, 3, -6, 15, 0, true, true},   {25, 37, 1, 3, 33, 7, true, false},
      {12, 13, 1, 0, 5, 7, true, true},     {26, 30, 1, 40, 10, 3, true, true},
      {25, 37, 1, 3, 15, 7, false, true},   {20, 23, 3, -40, 33, 7, false, false},
      {17, 17, 3, 0, 1, 0, false, true},    {18, 19, 1, -2, 31, 3, false, true},
      {27, 35, 3, -12, 16, 2, false, true}, {22, 33, 1, -4, 17, 1, false, false},
      {12, 13, 3, -2, 6, 7, false, true},   {30, 45, 3, -20, 48, 4, true, true},
  };
  std::mt19937 rng(130);
  for (const L0Case& l : cases) {
    Case c = Make(l.rows, l.columns, l.bands, l.minD, l.minD + l.count, l.radius, 1, 1, 0, l.sad);
    const testing::ImagePair images =
        l.whole ? testing::ShiftedPair(l.columns, l.rows, l.bands, l.count / 2 + l.minD, rng)
                : Images(c, rng);
    StereoMatcher reference;
    reference.Engine = EngineKind::Reference;
    reference.Run(images.image0, images.image1, c.job);
    streamed::JobShape shape;
    shape.rows = l.rows;
    shape.columns = l.columns;
    shape.disparities = l.count;
    shape.minDisparity = l.minD;
    shape.bands = l.bands;
    shape.winRadL0 = l.radius;
    shape.maxScaler = c.job.MaxScaler;
    shape.sad = l.sad;
    for (const IsaPath path : testing::IsaPathsToCompare()) {
      testing::IsaPathScope scope(path);
      streamed::InitialValuesStage stage(shape, images.image0, images.image1, 1,
                                         streamed::Threads{1});
      for (int r = 0; r < l.rows; ++r) {
        const float* row = stage.Row(r);
        for (std::size_t k = 0; k < shape.RowSize(); ++k) {
          ASSERT_EQ(testing::Bits(row[k]),
                    testing::Bits(reference.Ln()->data()[r * shape.RowSize() + k]))
              << c.Describe() << (l.whole ? " whole" : " fractional") << " row " << r << " cell "
              << k << " path " << IsaPathName(path);
        }
      }
    }
  }
}

// Large enough rows that every row kernel splits its columns among the
// threads; the split must not show in a single bit.
TEST(StreamedEngine, AnyThreadCountGivesTheSameBits) {
  std::mt19937 rng(3);
  ExpectSameAsReference(Make(30, 300, 3, -10, 90, 3, 2, 1, 2, true), rng, {1, 2, 3});
  ExpectSameAsReference(Make(26, 260, 3, -10, 90, 2, 3, 2, 2, false), rng, {1, 2, 3});
  // With no iteration to pipeline the threads split the rows' columns.
  ExpectSameAsReference(Make(30, 300, 3, -10, 90, 3, 2, 1, 0, true), rng, {2, 3});
  ExpectSameAsReference(Make(30, 300, 1, -10, 90, 3, 2, 1, 1, false), rng, {2, 3});
}

class FailingSink : public DispConfSink {
 public:
  void Row(int row, const float* /*dispConf*/) override {
    if (row == 12) throw std::runtime_error("disk full");
  }
};

// A failure on one thread stops the others instead of leaving them waiting
// on each other, and the caller hears that failure, not the stop.
TEST(StreamedEngine, AFailureStopsEveryThreadAndIsReported) {
  std::mt19937 rng(12);
  Case c = Make(40, 60, 1, 0, 16, 2, 2, 1, 6, true);
  const testing::ImagePair images = Images(c, rng);
  for (const int threads : {1, 2, 3}) {
    FailingSink sink;
    try {
      RunStreamed(images.image0, images.image1, c.job, threads, sink);
      ADD_FAILURE() << "no failure on " << threads << " threads";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "disk full");
    }
  }
}

// The job of tavrel-batch: the same output file, to the byte, and the same
// PFM of the disparities, as the straightforward engine writes.
TEST(StreamedEngine, WholeOutputFilesMatchTheReference) {
  std::mt19937 rng(77);
  const Case c = Make(120, 60, 3, -2, 18, 3, 2, 1, 4, true);
  const testing::ImagePair images = Images(c, rng);
  testing::TempDir dir;

  StereoMatcher reference;
  reference.Engine = EngineKind::Reference;
  StereoParams params = c.job;
  params.Cost = MatchCost::Sad;
  reference.Run(images.image0, images.image1, params);
  ASSERT_TRUE(JobRunsStreamed(c.rows, c.columns, c.bands, c.job, 0));
  StereoMatcher streamed;
  RunMatcherJob(streamed, images.image0, images.image1, c.job, 0);

  ASSERT_TRUE(WriteOutputFile(reference, dir / "reference.dis"));
  ASSERT_TRUE(WriteOutputFile(streamed, dir / "streamed.dis"));
  EXPECT_EQ(testing::ReadText(dir / "streamed.dis"), testing::ReadText(dir / "reference.dis"));
  ASSERT_TRUE(WritePfm(*reference.DispConf(), 0, dir / "reference.pfm"));
  ASSERT_TRUE(WritePfm(*streamed.DispConf(), 0, dir / "streamed.pfm"));
  EXPECT_EQ(testing::ReadText(dir / "streamed.pfm"), testing::ReadText(dir / "reference.pfm"));

  DisparityToDisplay(streamed);
  DisparityToDisplay(reference);
  EXPECT_EQ(FirstDifference(*streamed.DisplayMap(), *reference.DisplayMap()), -1);
  EXPECT_EQ(streamed.IterationCount(), reference.IterationCount());
  EXPECT_EQ(streamed.Rows(), reference.Rows());
  EXPECT_EQ(streamed.NumDisparities(), reference.NumDisparities());
  EXPECT_EQ(streamed.L0(), nullptr);
  EXPECT_EQ(streamed.Ln(), nullptr);
}

// Above the crossover the rings would hold more than the volumes: the job
// then runs on the volume engine, with the same results.
TEST(StreamedEngine, ManyIterationsRunOnTheVolumesWithTheSameResults) {
  std::mt19937 rng(8);
  const Case c = Make(20, 24, 1, 0, 9, 1, 3, 1, 40, true);
  EXPECT_GT(StreamedPeakBytes(c.rows, c.columns, c.bands, c.job, 0),
            VolumePeakBytes(c.rows, c.columns, c.job));
  EXPECT_FALSE(JobRunsStreamed(c.rows, c.columns, c.bands, c.job, 0));
  const testing::ImagePair images = Images(c, rng);
  StereoMatcher matcher;
  RunMatcherJob(matcher, images.image0, images.image1, c.job, 0);
  EXPECT_NE(matcher.Ln(), nullptr);
  EXPECT_EQ(FirstDifference(*matcher.DispConf(), ReferenceResult(c, images)), -1);
  EXPECT_EQ(JobPeakBytes(c.rows, c.columns, c.bands, c.job, 0),
            MatcherPeakBytes(MemoryShape(c), EngineThreads()));
}

// A full-size job fits in a small fraction of its volumes, and the peak
// grows with the iterations, not with the rows.
TEST(StreamedEngine, PeakGrowsWithIterationsNotRows) {
  StereoParams job;
  job.MinDisparity = 0;
  job.MaxDisparity = 175;
  job.WinRadL0 = 3;
  job.WinRadRC = 2;
  job.WinRadD = 1;
  job.NumIterations = 8;
  const int threads = 2;
  const double aloe = StreamedPeakBytes(1110, 1282, 3, job, threads);
  EXPECT_LT(aloe, 200e6);
  EXPECT_EQ(StreamedPeakBytes(4000, 1282, 3, job, threads), aloe);
  job.NumIterations = 9;
  EXPECT_GT(StreamedPeakBytes(1110, 1282, 3, job, threads), aloe);

  // Sizes whose byte counts could wrap are beyond any memory, not small; so
  // many iterations run on the volumes, whose size does not grow with them.
  job.MaxDisparity = 2'000'000'000;
  EXPECT_EQ(StreamedPeakBytes(60000, 60000, 3, job, threads),
            std::numeric_limits<double>::infinity());
  EXPECT_GT(JobPeakBytes(60000, 60000, 3, job, threads), 1e19);
  job.MaxDisparity = 175;
  job.NumIterations = 2'000'000'000;
  const double volumes = VolumePeakBytes(1110, 1282, job);
  const double many = JobPeakBytes(1110, 1282, 3, job, threads);
  EXPECT_GT(many, volumes);
  EXPECT_LT(many, 1.2 * volumes);
}

class RowRecorder : public DispConfSink {
 public:
  void Row(int row, const float* /*dispConf*/) override { rows.push_back(row); }
  std::vector<int> rows;
};

TEST(StreamedEngine, SinkGetsEveryRowOnceTopToBottomAndProgressEveryIteration) {
  std::mt19937 rng(5);
  const Case c = Make(31, 29, 1, 0, 12, 2, 2, 1, 5, true);
  const testing::ImagePair images = Images(c, rng);
  RowRecorder recorder;
  std::vector<std::pair<JobStage, int>> reports;
  RunStreamed(images.image0, images.image1, c.job, 0, recorder,
              [&reports](JobStage stage, int step, int steps) {
                EXPECT_EQ(steps, stage == JobStage::Iteration ? 5 : 1);
                reports.emplace_back(stage, step);
              });
  std::vector<int> expected(31);
  for (int r = 0; r < 31; ++r) expected[r] = r;
  EXPECT_EQ(recorder.rows, expected);
  const std::vector<std::pair<JobStage, int>> stages = {
      {JobStage::InitialMatchValues, 1}, {JobStage::Iteration, 1}, {JobStage::Iteration, 2},
      {JobStage::Iteration, 3},          {JobStage::Iteration, 4}, {JobStage::Iteration, 5},
      {JobStage::Extraction, 1}};
  EXPECT_EQ(reports, stages);
}

TEST(StreamedEngine, RefusesWhatTheVolumeEngineRefuses) {
  const FloatArray image0 = testing::Filled(20, 20, 1, 1.0f);
  const FloatArray image1 = testing::Filled(20, 20, 1, 1.0f);
  StereoParams job;
  job.MaxDisparity = 4;
  RowRecorder recorder;
  job.WinRadRC = kWinRadRCLimit;
  EXPECT_THROW(RunStreamed(image0, image1, job, 0, recorder), std::invalid_argument);
  job.WinRadRC = 1;
  job.MaxDisparity = 0;
  EXPECT_THROW(RunStreamed(image0, image1, job, 0, recorder), std::invalid_argument);
  EXPECT_TRUE(recorder.rows.empty());
}

// A schedule that reads a row after it has left its ring gets an error,
// never the values of a later row.
TEST(RowRing, RefusesRowsItNoLongerHolds) {
  streamed::RowRing ring(3, 2);
  for (int row = 0; row < 5; ++row) ring.Make(row)[0] = static_cast<float>(row);
  EXPECT_EQ(ring.Row(4)[0], 4.0f);
  EXPECT_EQ(ring.Row(2)[0], 2.0f);
  EXPECT_THROW(ring.Row(1), std::logic_error);
  EXPECT_THROW(ring.Row(5), std::logic_error);
  EXPECT_THROW(ring.Make(7), std::logic_error);
}

// The channel between two threads' stages: the producer runs at most the
// lead ahead of the newest row asked for, so that every row the consumer
// still holds keeps its values however far the producer would run; a row
// that left the consumer's window is refused; a cancel frees a producer
// that waits for room.
TEST(RowChannel, HoldsTheConsumersRowsWhileTheProducerThreadRunsAhead) {
  const streamed::RowChannel::Shape shape{2, 3, 5, 2};
  streamed::RowChannel channel(shape);
  constexpr int kRows = 40;
  std::atomic<int> pushed{0};
  std::thread producer([&] {
    try {
      for (int row = 0; row < kRows; ++row) {
        const float values[2] = {static_cast<float>(row), 0.5f};
        const float l0[2] = {static_cast<float>(-row), 0.25f};
        channel.Push(values, l0);
        pushed = row + 1;
      }
    } catch (const std::runtime_error&) {
    }
  });
  auto settle = [&](int expected) {
    for (int k = 0; k < 2000 && pushed.load() < expected; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Give a producer that would overrun its bound the time to do it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  for (int asked = 0; asked < 30; asked += 3) {
    EXPECT_EQ(channel.values().Row(asked)[0], static_cast<float>(asked));
    settle(asked + shape.lead + 1);
    EXPECT_EQ(pushed.load(), asked + shape.lead + 1) << "asked " << asked;
    for (int row = std::max(0, asked - shape.keepValues + 1); row <= asked; ++row) {
      EXPECT_EQ(channel.values().Row(row)[0], static_cast<float>(row)) << "asked " << asked;
    }
    for (int row = std::max(0, asked - shape.keepL0 + 1); row <= asked; ++row) {
      EXPECT_EQ(channel.l0().Row(row)[0], static_cast<float>(-row)) << "asked " << asked;
    }
    if (asked >= shape.keepValues) {
      EXPECT_THROW(channel.values().Row(asked - shape.keepValues), std::logic_error);
    }
  }
  channel.Cancel();
  producer.join();
  EXPECT_LT(pushed.load(), kRows);
  EXPECT_THROW(channel.values().Row(kRows - 1), std::runtime_error);
}

// A grid held whole, for the stages that read it.
class WholeGrid : public streamed::RowSource {
 public:
  explicit WholeGrid(const FloatArray& grid) : grid_(grid) {}
  const float* Row(int row) override { return grid_.data() + grid_.Index(row, 0, 0); }

 private:
  const FloatArray& grid_;
};

// The rows of two iterations sharing one scratch against the straightforward
// Iterate, bit for bit on every path and for threads that share a row's
// columns: widths around the
// groups of 16 pixels, index counts below and around a vector of 8, every
// radius along the indices, lines of sight that meet image 1's interior in
// part, wholly or not at all.
TEST(IterationStage, RowsAreTheStraightforwardIteration) {
  std::mt19937 rng(1307);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int trial = 0; trial < 30; ++trial) {
    // The last trials have rows wide enough for the threads to split them.
    const bool wide = trial >= 26;
    const int count = trial < 6 ? 7 + trial : wide ? pick(80, 100) : pick(7, 45);
    const int columns = wide             ? pick(260, 330)
                        : trial % 3 == 0 ? 16 + 16 * pick(1, 3) + pick(0, 1)
                                         : pick(17, 70);
    const int minD = trial % 5 == 4 ? pick(30, 90) : pick(-count - 10, 6);
    Case c = Make(wide ? 17 : pick(17, 26), columns, pick(1, 3), minD, minD + count, pick(0, 3),
                  pick(0, kWinRadRCLimit - 1), trial % kWinRadDLimit, 1, pick(0, 1) != 0);
    const testing::ImagePair images = Images(c, rng);
    StereoMatcher reference;
    reference.Engine = EngineKind::Reference;
    StereoParams noIteration = c.job;
    noIteration.NumIterations = 0;
    reference.Run(images.image0, images.image1, noIteration);
    const FloatArray before = testing::Copy(*reference.Ln());
    reference.Iterate();
    const FloatArray once = testing::Copy(*reference.Ln());
    reference.Iterate();
    streamed::JobShape shape = streamed::ShapeOf(c.rows, c.columns, c.bands, c.job);
    auto same = [&](const float* row, const FloatArray& expected, int r, const char* which) {
      for (std::size_t k = 0; k < shape.RowSize(); ++k) {
        ASSERT_EQ(testing::Bits(row[k]), testing::Bits(expected.data()[r * shape.RowSize() + k]))
            << c.Describe() << " " << which << " row " << r << " cell " << k;
      }
    };
    for (const IsaPath path : testing::IsaPathsToCompare()) {
      testing::IsaPathScope scope(path);
      for (const int threads : {1, 3}) {
        SCOPED_TRACE(std::string("path ") + IsaPathName(path) + " threads " +
                     std::to_string(threads));
        // Two iterations in a row on one scratch, as a pipeline's group
        // runs them: the second asks the first for rows while making its own.
        // The first keeps every row, so that the test may read them too.
        WholeGrid ln(before);
        WholeGrid l0(*reference.L0());
        streamed::IterationScratch scratch(shape, streamed::Threads{threads});
        streamed::IterationStage first(shape, ln, l0, streamed::Threads{threads}, c.rows, scratch);
        streamed::IterationStage second(shape, first, l0, streamed::Threads{threads}, 1, scratch);
        for (int r = 0; r < c.rows; ++r) {
          same(second.Row(r), *reference.Ln(), r, "second");
          same(first.Row(r), once, r, "first");
        }
      }
    }
  }
}

// The streamed box filter against the whole-grid one, for sizes around the
// window and rows asked for with gaps, whole rows and rows in chunks. A row
// in chunks must hold its final values in every column it says are ready.
TEST(StreamedBox, GivesTheRowsOfTheWholeGridFilter) {
  using streamed::StreamedBox;
  std::mt19937 rng(9);
  // Band counts that fill every block of the row pass's vector kernel.
  for (const int bands : {3, 29, 60}) {
    for (const int radius : {0, 1, 3, 7}) {
      // Rows of one chunk, and of chunks that end around the window's reach.
      for (const int columns : {2 * radius + 3, 2 * StreamedBox::kChunkColumns + radius + 1}) {
        for (const int rows : {1, 2 * radius, 2 * radius + 1, 2 * radius + 2, 23}) {
          const FloatArray grid = testing::RandomFloats(columns, rows, bands, -50.0f, 300.0f, rng);
          FloatArray whole = testing::Copy(grid);
          whole.BoxSum(radius);
          auto fetch = [&grid](int row) { return grid.data() + grid.Index(row, 0, 0); };
          for (const IsaPath path : testing::IsaPathsToCompare()) {
            testing::IsaPathScope scope(path);
            StreamedBox box({rows, columns, bands, radius}, fetch, streamed::Threads{2});
            StreamedBox chunked({rows, columns, bands, radius}, fetch, streamed::Threads{1});
            const std::size_t rowSize = static_cast<std::size_t>(columns) * bands;
            std::vector<float> out(rowSize);
            std::vector<float> ready(rowSize);
            for (int row = 0; row < rows; row += 1 + row % 2) {
              SCOPED_TRACE("radius " + std::to_string(radius) + " columns " +
                           std::to_string(columns) + " rows " + std::to_string(rows) + " row " +
                           std::to_string(row) + " bands " + std::to_string(bands) + " path " +
                           IsaPathName(path));
              auto expect = [&](const std::vector<float>& got, const char* which) {
                for (int c = 0; c < columns; ++c) {
                  for (int b = 0; b < bands; ++b) {
                    ASSERT_EQ(testing::Bits(got[c * bands + b]), testing::Bits(whole.At(row, c, b)))
                        << which << " column " << c << " band " << b;
                  }
                }
              };
              box.Row(row, out.data());
              expect(out, "whole row");
              std::fill(out.begin(), out.end(), -1.0f);
              int told = 0;
              chunked.RowInChunks(row, out.data(), [&](int readyColumns) {
                ASSERT_GT(readyColumns, told);
                // What a column holds when said ready is what it keeps.
                std::copy_n(out.begin() + told * bands, (readyColumns - told) * bands,
                            ready.begin() + told * bands);
                told = readyColumns;
              });
              EXPECT_EQ(told, columns);
              expect(ready, "in chunks");
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace tavrel
