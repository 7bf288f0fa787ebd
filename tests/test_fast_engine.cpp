#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "display/result_maps.h"
#include "engine/fast_box_mean.h"
#include "engine/fast_match_rows.h"
#include "engine/fast_transpose.h"
#include "engine/float_array.h"
#include "engine/reference_engine.h"
#include "engine/stereo_matcher.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

// One random job: image sizes around the margins, 1 to 3 bands, both
// measures, radii from 0 to their limits, short and negative ranges.
struct Job {
  int rows = 0;
  int columns = 0;
  int bands = 1;
  int minDisparity = 0;
  int maxDisparity = 1;
  int winRadL0 = 0;
  int winRadRC = 0;
  int winRadD = 0;
  int useSad = 1;
  float maxScaler = 0.96f;
  bool fractional = false;   // intensities with fractions, else whole 0 .. 255
  bool widerImage1 = false;  // image 1 three pixels wider and taller

  std::string Describe() const {
    return std::to_string(columns) + "x" + std::to_string(rows) + "x" + std::to_string(bands) +
           " d " + std::to_string(minDisparity) + ".." + std::to_string(maxDisparity) + " r " +
           std::to_string(winRadL0) + "/" + std::to_string(winRadRC) + "/" +
           std::to_string(winRadD) + (useSad ? " sad" : " corr") +
           (fractional ? " fractional" : "") + (widerImage1 ? " wider" : "") + " cap " +
           std::to_string(maxScaler);
  }
};

Job RandomJob(std::mt19937& rng) {
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Job job;
  job.rows = pick(14, 40);
  job.columns = pick(14, 48);
  job.bands = pick(1, 3);
  const int count = pick(1, 20);
  job.minDisparity = pick(-count - 6, 6);
  job.maxDisparity = job.minDisparity + count;
  job.winRadL0 = pick(0, kWinRadL0Limit - 1);
  job.winRadRC = pick(0, kWinRadRCLimit - 1);
  job.winRadD = pick(0, kWinRadDLimit - 1);
  job.useSad = pick(0, 2);
  job.maxScaler = pick(0, 3) == 0 ? 1.0f : 0.96f;
  job.fractional = pick(0, 2) == 0;
  job.widerImage1 = pick(0, 3) == 0;
  return job;
}

// Image 1 is image 0 shifted by a disparity of the range, with noise, so that
// matches are strong and values spread.
void MakeImages(std::mt19937& rng, const Job& job, std::unique_ptr<FloatArray>& image0,
                std::unique_ptr<FloatArray>& image1) {
  const bool fractional = job.fractional;
  const int extra = job.widerImage1 ? 3 : 0;
  image0 = std::make_unique<FloatArray>(job.columns, job.rows, job.bands);
  image1 = std::make_unique<FloatArray>(job.columns + extra, job.rows + extra, job.bands);
  std::uniform_real_distribution<float> value(0.0f, 255.0f);
  std::uniform_int_distribution<int> noise(-12, 12);
  auto draw = [&](float v) { return fractional ? v : static_cast<float>(static_cast<int>(v)); };
  for (std::size_t i = 0; i < image0->size(); ++i) image0->data()[i] = draw(value(rng));
  const int shift = (job.minDisparity + job.maxDisparity) / 2;
  for (int r = 0; r < image1->rows(); ++r) {
    for (int c = 0; c < image1->columns(); ++c) {
      for (int b = 0; b < job.bands; ++b) {
        float v = image0->Get(r, c - shift, b);
        if (v == 0.0f || rng() % 5 == 0) v = draw(value(rng));
        image1->At(r, c, b) = std::clamp(v + noise(rng), 0.0f, 255.0f);
      }
    }
  }
}

// A matcher with the job's sizes and grids, as Run leaves it just before
// ComputeL0, running the stages on `engine`.
std::unique_ptr<StereoMatcher> Prepare(const Job& job, EngineKind engine = EngineKind::Fast) {
  auto m = std::make_unique<StereoMatcher>();
  m->Engine = engine;
  m->Prepare(job.rows, job.columns,
             testing::ParamsOf(job.minDisparity, job.maxDisparity, job.winRadL0, job.winRadRC,
                               job.winRadD, 0, job.maxScaler, job.useSad));
  return m;
}

// Bitwise equality, so that NaNs, signed zeros and the last bit all count.
::testing::AssertionResult SameBits(const FloatArray& expected, const FloatArray& actual) {
  const std::int64_t i = testing::FirstDifference(expected, actual);
  if (i < 0) return ::testing::AssertionSuccess();
  if (expected.size() != actual.size()) return ::testing::AssertionFailure() << "sizes differ";
  const int bands = expected.bands(), columns = expected.columns();
  return ::testing::AssertionFailure()
         << "first difference at row " << i / bands / columns << ", column " << i / bands % columns
         << ", band " << i % bands << ": " << expected.data()[i] << " vs " << actual.data()[i];
}

using testing::ThreadCount;

constexpr int kThreadCounts[] = {1, 2, 3, 8};

// The reference's grids after ComputeL0 and after each of three iterations
// with their extraction.
struct ReferenceSeries {
  std::unique_ptr<FloatArray> L0, initialLn;
  std::vector<FloatArray> Ln, DispConf;
};

ReferenceSeries RunReference(const Job& job, const FloatArray& image0, const FloatArray& image1) {
  auto m = Prepare(job, EngineKind::Reference);
  m->ComputeL0(image0, image1, job.winRadL0, job.maxScaler, testing::CostOf(job.useSad));
  ReferenceSeries series;
  series.L0 = std::make_unique<FloatArray>(testing::Copy(*m->L0()));
  series.initialLn = std::make_unique<FloatArray>(testing::Copy(*m->Ln()));
  for (int iteration = 1; iteration <= 3; ++iteration) {
    m->Iterate();
    m->ExtractDispConf();
    series.Ln.push_back(testing::Copy(*m->Ln()));
    series.DispConf.push_back(testing::Copy(*m->DispConf()));
  }
  return series;
}

// The fast engine on the path and thread count chosen now against the
// reference's series, one iteration at a time through the matcher.
void ExpectFastEngineFollows(const ReferenceSeries& expected, const Job& job,
                             const FloatArray& image0, const FloatArray& image1,
                             const std::string& where) {
  auto actual = Prepare(job);
  actual->ComputeL0(image0, image1, job.winRadL0, job.maxScaler, testing::CostOf(job.useSad));
  ASSERT_TRUE(SameBits(*expected.L0, *actual->L0())) << where;
  ASSERT_TRUE(SameBits(*expected.initialLn, *actual->Ln())) << where;
  EXPECT_EQ(actual->L0Ready(), 1);
  for (int iteration = 1; iteration <= 3; ++iteration) {
    actual->Iterate();
    actual->ExtractDispConf();
    const std::string when = where + " iteration " + std::to_string(iteration);
    ASSERT_TRUE(SameBits(expected.Ln[iteration - 1], *actual->Ln())) << when;
    ASSERT_TRUE(SameBits(expected.DispConf[iteration - 1], *actual->DispConf())) << when;
  }
}

// Runs ComputeL0, three iterations and the extraction of one job on fresh
// images with the reference and with the fast engine in each of FastRuns(),
// and compares all grids to the bit.
void ExpectEnginesAgreeOn(const Job& job, const FloatArray& image0, const FloatArray& image1) {
  const ReferenceSeries expected = RunReference(job, image0, image1);
  for (const testing::FastRun& run : testing::FastRuns()) {
    testing::FastRunScope scope(run);
    ASSERT_NO_FATAL_FAILURE(ExpectFastEngineFollows(expected, job, image0, image1,
                                                    job.Describe() + " " + testing::Describe(run)));
  }
}

void ExpectEnginesAgree(const Job& job, std::mt19937& rng) {
  std::unique_ptr<FloatArray> image0, image1;
  MakeImages(rng, job, image0, image1);
  ExpectEnginesAgreeOn(job, *image0, *image1);
}

// A series runs in passes of several iterations, their stages shared among
// the threads as a pipeline whose groups take uneven shares of them; no
// split of the series into passes and groups may show in the values.
TEST(FastEngine, AnySplitOfASeriesAmongPassesAndThreadsGivesTheSameIterations) {
  const Job job{150, 31, 2, -9, 4, 1, 2, 1};
  std::mt19937 rng(5);
  std::unique_ptr<FloatArray> image0, image1;
  MakeImages(rng, job, image0, image1);
  auto expected = Prepare(job, EngineKind::Reference);
  expected->ComputeL0(*image0, *image1, job.winRadL0, job.maxScaler, testing::CostOf(job.useSad));
  const FloatArray initial = testing::Copy(*expected->Ln());
  std::vector<FloatArray> series;
  for (int iteration = 0; iteration < 7; ++iteration) {
    expected->Iterate();
    series.push_back(testing::Copy(*expected->Ln()));
  }
  for (int threads : {1, 2, 3, 8}) {
    ThreadCount scope(threads);
    for (int count = 1; count <= 7; ++count) {
      auto actual = Prepare(job);
      actual->LoadVolumes(testing::Copy(*expected->L0()), testing::Copy(initial), 0);
      actual->RunIterations(count);
      ASSERT_TRUE(SameBits(series[count - 1], *actual->Ln()))
          << "threads " << threads << " iterations " << count;
    }
  }
}

// Jobs at the edges of what the fast stages handle, each with both measures
// and, taking turns, whole or fractional intensities, an image 1 larger than
// image 0 and a cap of 1. In order: volumes whose interior or valid region
// is empty; index counts around the vector widths, shifts that put every
// image-1 column outside the image (far left or right) and band counts the
// directions file never asks for but the engine accepts (17); last a large
// job, then a small one, so that nothing the larger job left behind may leak
// into the smaller one.
TEST(FastEngine, EdgeJobsMatchTheReference) {
  struct Case {
    int rows, columns, bands, count, minDisparity, winRadL0, winRadRC, winRadD;
  };
  const Case cases[] = {
      {16, 40, 3, 12, -6, 7, 7, 2},  {40, 16, 3, 12, -6, 7, 7, 2},  {17, 17, 3, 7, -3, 7, 7, 2},
      {18, 18, 3, 6, -3, 7, 7, 2},   {20, 25, 3, 1, 0, 7, 7, 2},    {25, 20, 3, 2, -1, 7, 7, 2},
      {17, 30, 3, 30, -15, 7, 7, 2},

      {24, 45, 1, 15, -7, 2, 3, 2},  {24, 45, 3, 16, -8, 2, 3, 2},  {24, 45, 1, 17, 0, 2, 3, 2},
      {24, 45, 2, 31, -20, 2, 3, 2}, {24, 45, 3, 32, 3, 2, 3, 2},   {24, 45, 1, 33, -33, 2, 3, 2},
      {24, 45, 4, 49, -5, 2, 3, 2},  {24, 45, 3, 9, -500, 2, 3, 2}, {24, 45, 1, 9, 400, 2, 3, 2},
      {24, 45, 2, 12, 30, 2, 3, 2},  {20, 30, 17, 9, -4, 1, 2, 1},

      {60, 90, 3, 40, -20, 7, 7, 2}, {21, 23, 3, 11, -2, 7, 1, 0},
  };
  std::mt19937 rng(31);
  int turn = 0;
  for (const Case& c : cases) {
    for (int useSad : {0, 1}) {
      Job job{c.rows,     c.columns,  c.bands,   c.minDisparity, c.minDisparity + c.count,
              c.winRadL0, c.winRadRC, c.winRadD, useSad};
      job.fractional = (turn / 2 + useSad) % 2 == 1;
      job.widerImage1 = turn % 3 == 0;
      job.maxScaler = turn % 5 == 2 ? 1.0f : 0.96f;
      ++turn;
      ASSERT_NO_FATAL_FAILURE(ExpectEnginesAgree(job, rng));
    }
  }
}

// The background level's running sums must run from the top of the image:
// starting them afresh lower down (to share rows among threads, say) is
// exact only while its means span few enough binades. Here they span more: rows of one grey level
// in both images (means near 1, every index matching but for a few pixels one level off) above and
// below a band of black against white where a rare pixel of 254 in one of 100 bands leaves means as
// small as 2^-29. The sums running down through that band keep rounding residue a fresh start
// lacks, and with the cap at 1 the scaling (v - m) / (1 - m) magnifies it; this image, among those
// drawn so, shows it with two threads. The values must be the reference's on any instruction-set
// path.
TEST(FastEngine, SadMeansSpanningManyBinadesMatchTheReference) {
  const int bands = 100, disparities = 96, rows = 70, columns = disparities + 50;
  std::mt19937 rng(27);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  FloatArray image0(columns, rows, bands);
  FloatArray image1(columns, rows, bands);
  const int faintFirst = pick(22, 26);
  const int faintEnd = faintFirst + pick(16, 22);
  for (int r = 0; r < rows; ++r) {
    const bool faint = r >= faintFirst && r < faintEnd;
    const int level = pick(1, 254);
    for (int c = 0; c < columns; ++c) {
      for (int b = 0; b < bands; ++b) {
        float a = static_cast<float>(level), v = a;
        if (faint) {
          a = 0.0f;
          v = b == 0 && pick(0, 400) == 0 ? 254.0f : 255.0f;
        } else if (b == 0 && pick(0, 15) == 0) {
          v = static_cast<float>(level + (pick(0, 1) ? 1 : -1));
        }
        image0.At(r, c, b) = a;
        image1.At(r, c, b) = v;
      }
    }
  }
  const Job job{rows, columns, bands, -disparities / 2, disparities / 2, 7, 0, 0, 1, 1.0f};
  auto expected = Prepare(job, EngineKind::Reference);
  expected->ComputeL0(image0, image1, job.winRadL0, job.maxScaler, testing::CostOf(job.useSad));
  for (IsaPath path : testing::IsaPathsToCompare()) {
    testing::IsaPathScope pathScope(path);
    for (int threads : {2, 3}) {
      ThreadCount scope(threads);
      auto actual = Prepare(job);
      actual->ComputeL0(image0, image1, job.winRadL0, job.maxScaler, testing::CostOf(job.useSad));
      const std::string where =
          std::string("path ") + IsaPathName(path) + " threads " + std::to_string(threads);
      EXPECT_TRUE(SameBits(*expected->L0(), *actual->L0())) << where;
      EXPECT_TRUE(SameBits(*expected->Ln(), *actual->Ln())) << where;
    }
  }
}

// The SAD scaling (v - m) / (1 - m) runs in float for the pixels whose
// background level m lies in [0.5, 1) and in double for the others, and
// must give the reference's values on both sides of that line and across
// it within a row. Image 0 is black and image 1 white with a chance that
// grows down the rows, so the levels run from about 0.05 to 1 (the cap
// at 1 keeps a level of 1, which scales in double); the values of single
// indices lie far below and above their pixel's level; one band and three,
// whose similarities take different roundings.
TEST(FastEngine, SadScalingOnBothSidesOfTheFloatLineMatchesTheReference) {
  for (const int bands : {1, 3}) {
    const Job job{64, 72, bands, -6, 13, 1, 0, 0, 1, 1.0f};
    std::mt19937 rng(61 + bands);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    FloatArray image0(job.columns, job.rows, job.bands);
    FloatArray image1(job.columns, job.rows, job.bands);
    image0.Fill(0.0f);
    for (int r = 0; r < job.rows; ++r) {
      const double white = 0.95 * r / (job.rows - 1);
      for (int c = 0; c < job.columns; ++c) {
        for (int b = 0; b < bands; ++b) {
          image1.At(r, c, b) = chance(rng) < white ? 255.0f : static_cast<float>(rng() % 8);
        }
      }
    }
    auto expected = Prepare(job, EngineKind::Reference);
    expected->ComputeL0(image0, image1, job.winRadL0, job.maxScaler, testing::CostOf(true));
    for (IsaPath path : testing::IsaPathsToCompare()) {
      testing::IsaPathScope pathScope(path);
      auto actual = Prepare(job);
      actual->ComputeL0(image0, image1, job.winRadL0, job.maxScaler, testing::CostOf(true));
      const std::string where =
          std::string("path ") + IsaPathName(path) + " bands " + std::to_string(bands);
      EXPECT_TRUE(SameBits(*expected->L0(), *actual->L0())) << where;
      EXPECT_TRUE(SameBits(*expected->Ln(), *actual->Ln())) << where;
    }
  }
}

// The correlation's box sums of fractional intensities are not exact: big
// values in the upper rows leave rounding residue in the running sums that
// the tiny values of the lower rows inherit. A sum started afresh lower down
// would miss it, so such images must run their sums from the top. Big values
// in the left columns do the same to the row sums, whose order of steps
// then shows.
TEST(FastEngine, CorrelationOfIntensitiesSpanningManyBinadesMatchesTheReference) {
  const Job job{40, 60, 1, -4, 4, 7, 2, 1, 0};
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> big(100.0f, 255.0f);
  std::uniform_real_distribution<float> tiny(0.0f, 1.0f / (1 << 20));
  // Large values above small ones (the column sums cross the binades), then
  // left of them (the row sums do).
  for (const bool acrossRows : {false, true}) {
    SCOPED_TRACE(acrossRows ? "large values left of small ones" : "large values above small ones");
    FloatArray image0(job.columns, job.rows, job.bands);
    FloatArray image1(job.columns, job.rows, job.bands);
    for (FloatArray* image : {&image0, &image1}) {
      for (int r = 0; r < job.rows; ++r) {
        for (int c = 0; c < job.columns; ++c) {
          image->At(r, c, 0) = (acrossRows ? c < 30 : r < 18) ? big(rng) : tiny(rng);
        }
      }
    }
    ASSERT_NO_FATAL_FAILURE(ExpectEnginesAgreeOn(job, image0, image1));
  }
}

// ComputeL0 alone shares its work among the threads: bands of rows, each
// starting its running sums afresh, where those sums are exact (whole
// intensities); otherwise whole blocks of indices (correlation) or one thread
// (SAD). Heights that the thread counts do not divide, bands thinner than the
// window radius (23 rows on 8 threads, radius 7), one to three blocks of
// indices, both measures, whole and fractional intensities, every path.
TEST(FastEngine, ComputeL0SharedAmongThreadsMatchesTheReference) {
  struct Case {
    int rows, columns, bands, count, minDisparity, winRadL0;
  };
  const Case cases[] = {{23, 40, 3, 40, -20, 7},
                        {31, 37, 2, 17, -3, 2},
                        {26, 30, 1, 33, -5, 5},
                        {19, 22, 3, 9, -4, 0}};
  std::mt19937 rng(41);
  for (const Case& c : cases) {
    for (int useSad : {0, 1}) {
      for (bool fractional : {false, true}) {
        Job job{c.rows,     c.columns, c.bands, c.minDisparity, c.minDisparity + c.count,
                c.winRadL0, 1,         1,       useSad};
        job.fractional = fractional;
        std::unique_ptr<FloatArray> image0, image1;
        MakeImages(rng, job, image0, image1);
        auto expected = Prepare(job, EngineKind::Reference);
        expected->ComputeL0(*image0, *image1, job.winRadL0, job.maxScaler,
                            testing::CostOf(job.useSad));
        for (IsaPath path : testing::IsaPathsToCompare()) {
          testing::IsaPathScope pathScope(path);
          for (int threads : kThreadCounts) {
            ThreadCount scope(threads);
            auto actual = Prepare(job);
            actual->ComputeL0(*image0, *image1, job.winRadL0, job.maxScaler,
                              testing::CostOf(job.useSad));
            const std::string where = job.Describe() + " path " + IsaPathName(path) + " threads " +
                                      std::to_string(threads);
            ASSERT_TRUE(SameBits(*expected->L0(), *actual->L0())) << where;
            ASSERT_TRUE(SameBits(*expected->Ln(), *actual->Ln())) << where;
          }
        }
      }
    }
  }
}

// Whole jobs through Run, as the programs call it: the default engine is the
// fast one, and its grids equal the reference's on every instruction-set
// path and for every thread count.
TEST(FastEngine, WholeJobsMatchTheReferenceOnAnyPathAndThreadCount) {
  EXPECT_EQ(StereoMatcher().Engine, EngineKind::Fast);
  std::mt19937 rng(5);
  for (int trial = 0; trial < 8; ++trial) {
    Job job = RandomJob(rng);
    job.rows += 10;
    job.columns += 12;
    std::unique_ptr<FloatArray> image0, image1;
    MakeImages(rng, job, image0, image1);
    const int iterations = 1 + trial % 4;

    StereoMatcher expected;
    expected.Engine = EngineKind::Reference;
    expected.Run(*image0, *image1,
                 testing::ParamsOf(job.minDisparity, job.maxDisparity, job.winRadL0, job.winRadRC,
                                   job.winRadD, iterations, job.maxScaler, job.useSad));
    for (IsaPath path : testing::IsaPathsToCompare()) {
      testing::IsaPathScope pathScope(path);
      for (int threads : kThreadCounts) {
        ThreadCount scope(threads);
        StereoMatcher actual;
        actual.Run(*image0, *image1,
                   testing::ParamsOf(job.minDisparity, job.maxDisparity, job.winRadL0, job.winRadRC,
                                     job.winRadD, iterations, job.maxScaler, job.useSad));
        const std::string where =
            job.Describe() + " path " + IsaPathName(path) + " threads " + std::to_string(threads);
        ASSERT_TRUE(SameBits(*expected.L0(), *actual.L0())) << where;
        ASSERT_TRUE(SameBits(*expected.Ln(), *actual.Ln())) << where;
        ASSERT_TRUE(SameBits(*expected.DispConf(), *actual.DispConf())) << where;
        DisparityToDisplay(expected);
        DisparityToDisplay(actual);
        ASSERT_TRUE(SameBits(*expected.DisplayMap(), *actual.DisplayMap())) << where;
        EXPECT_EQ(actual.IterationCount(), iterations);
      }
    }
  }
}

// The fast iteration ignores whatever lies outside the interior on entry, as
// the border clear of the straightforward one does, and both leave zeros
// there. The matcher never hands such volumes over, so the backends' stages
// are called directly.
TEST(FastEngine, IterationClearsGarbageOutsideTheInterior) {
  std::mt19937 rng(8);
  Job job;
  job.rows = 30;
  job.columns = 33;
  job.minDisparity = -4;
  job.maxDisparity = 9;
  job.winRadRC = 7;
  job.winRadD = 2;
  std::unique_ptr<FloatArray> image0, image1;
  MakeImages(rng, job, image0, image1);
  auto m = Prepare(job, EngineKind::Reference);
  m->ComputeL0(*image0, *image1, 1, 0.96f, MatchCost::Sad);
  std::uniform_real_distribution<float> junk(-5.0f, 5.0f);
  FloatArray Ln = testing::Copy(*m->Ln());
  for (int r = 0; r < job.rows; ++r) {
    for (int c = 0; c < job.columns; ++c) {
      for (int d = 0; d < Ln.bands(); ++d) {
        const bool interior = r >= 8 && r < job.rows - 8 && c >= 8 && c < job.columns - 8 &&
                              d >= 3 && d < Ln.bands() - 3;
        if (!interior) Ln.At(r, c, d) = junk(rng);
      }
    }
  }
  FloatArray expectedL0 = testing::Copy(*m->L0()), actualL0 = testing::Copy(*m->L0());
  FloatArray expectedLn = testing::Copy(Ln), actualLn = testing::Copy(Ln);
  StageGrids expected = testing::GridsLike(*m, expectedL0, expectedLn);
  StageGrids actual = testing::GridsLike(*m, actualL0, actualLn);
  BackendFor(EngineKind::Reference).Iterate(expected, 1);
  BackendFor(EngineKind::Fast).Iterate(actual, 1);
  EXPECT_TRUE(SameBits(expectedLn, actualLn));
}

// The transposes behind the iteration: every size, including those below and
// between whole 8 x 8 tiles, with source and destination strides wider than
// the block.
TEST(FastTranspose, MovesEveryElementAndMultipliesOnce) {
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> value(-3.0f, 3.0f);
  for (int rows : {1, 5, 8, 9, 16, 23}) {
    for (int columns : {1, 7, 8, 12, 17, 40}) {
      const std::ptrdiff_t srcStride = columns + 3;
      const std::ptrdiff_t dstStride = rows + 5;
      std::vector<float> src(static_cast<std::size_t>(rows * srcStride));
      std::vector<float> factors(static_cast<std::size_t>(columns * dstStride));
      for (float& v : src) v = value(rng);
      for (float& v : factors) v = value(rng);
      std::vector<float> moved(factors.size(), -99.0f);
      std::vector<float> product(factors.size(), -99.0f);
      fast::Transpose(src.data(), srcStride, moved.data(), dstStride, rows, columns);
      fast::TransposeMultiply(src.data(), srcStride, factors.data(), product.data(), dstStride,
                              rows, columns);
      for (int j = 0; j < columns; ++j) {
        for (int i = 0; i < dstStride; ++i) {
          const std::size_t at = static_cast<std::size_t>(j * dstStride + i);
          if (i >= rows) {
            EXPECT_EQ(moved[at], -99.0f) << "wrote outside the block";
            EXPECT_EQ(product[at], -99.0f) << "wrote outside the block";
            continue;
          }
          const float v = src[static_cast<std::size_t>(i * srcStride + j)];
          EXPECT_EQ(moved[at], v) << rows << "x" << columns << " at " << i << "," << j;
          EXPECT_EQ(product[at], factors[at] * v) << rows << "x" << columns;
        }
      }
    }
  }
}

// Which images take the whole-intensity kernels: one odd value among whole
// ones, at every place of a vector and of the remainder after the vectors,
// must be seen on every path; so must whole values just outside the range.
TEST(FastWholeIntensities, OneOddValueAnywhereIsSeenOnEveryPath) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float value;
    bool wholeFrom0, wholeFromMinus255;
  };
  const Case cases[] = {
      {0.0f, true, true},         {-0.0f, true, true},         {255.0f, true, true},
      {-255.0f, false, true},     {-1.0f, false, true},        {256.0f, false, false},
      {-256.0f, false, false},    {0.5f, false, false},        {-0.5f, false, false},
      {254.99998f, false, false}, {1e-45f, false, false},      {-1e-45f, false, false},
      {8388609.0f, false, false}, {12582912.0f, false, false}, {inf, false, false},
      {-inf, false, false},       {nan, false, false},
  };
  for (IsaPath path : AvailableIsaPaths()) {
    testing::IsaPathScope pathScope(path);
    for (int columns : {1, 7, 16, 37}) {
      for (const Case& c : cases) {
        for (int at = 0; at < columns * 3; ++at) {
          FloatArray image(columns, 1, 3);
          for (std::size_t k = 0; k < image.size(); ++k) image.data()[k] = float(k % 256);
          image.data()[at] = c.value;
          EXPECT_EQ(fast::WholeIntensities(image, 0.0f), c.wholeFrom0)
              << IsaPathName(path) << " " << c.value << " at " << at << " of " << columns;
          EXPECT_EQ(fast::WholeIntensities(image, -255.0f), c.wholeFromMinus255)
              << IsaPathName(path) << " " << c.value << " at " << at << " of " << columns;
        }
      }
    }
  }
}

// The streamed box mean against the grid's own BoxMean, bit for bit: values
// spanning many binades in every cell (so that each sum's order of steps
// shows), lanes in groups of 16 and not, filtered rows handed back or written
// to a stride of their own, and grids too small for a window.
TEST(StreamingBoxMean, GivesTheGridsBoxMeanWhereverItsRowsGo) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
  std::uniform_int_distribution<int> exponent(-30, 20);
  for (IsaPath path : AvailableIsaPaths()) {
    testing::IsaPathScope pathScope(path);
    for (int lanes : {3, 16, 32}) {
      for (int radius : {0, 1, 3}) {
        for (auto [rows, columns] : {std::pair{9, 11}, std::pair{4, 13}, std::pair{12, 5}}) {
          FloatArray grid(columns, rows, lanes);
          for (std::size_t k = 0; k < grid.size(); ++k) {
            grid.data()[k] = std::ldexp(mantissa(random), exponent(random));
          }
          FloatArray expected(columns, rows, lanes);
          std::copy_n(grid.data(), grid.size(), expected.data());
          expected.BoxMean(radius);
          for (bool strided : {false, true}) {
            if (strided && lanes % 16 != 0) continue;
            const std::ptrdiff_t stride = strided ? lanes + 5 : lanes;
            std::vector<float> row(static_cast<std::size_t>(columns) * stride, -1.0f);
            fast::ThreadArena arena;
            arena.Reset(fast::StreamingBoxMean::Bytes(columns, lanes, radius));
            fast::StreamingBoxMean box(rows, columns, lanes, radius, arena);
            auto makeRow = [&](int j, float* to) {
              std::copy_n(grid.data() + grid.Index(j, 0, 0), columns * lanes, to);
            };
            for (int i = 0; i < rows; ++i) {
              const float* got = row.data();
              if (strided) {
                box.StepInto(i, makeRow, row.data(), stride);
              } else {
                got = box.Step(i, makeRow);
              }
              for (int c = 0; c < columns; ++c) {
                for (int k = 0; k < lanes; ++k) {
                  ASSERT_EQ(testing::Bits(got[c * stride + k]), testing::Bits(expected.At(i, c, k)))
                      << IsaPathName(path) << ", " << lanes << " lanes, radius " << radius << ", "
                      << rows << " x " << columns << (strided ? ", strided" : "") << ", row " << i
                      << ", column " << c << ", lane " << k;
                }
              }
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace tavrel
