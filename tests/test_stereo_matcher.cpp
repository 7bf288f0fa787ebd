#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "display/result_maps.h"
#include "engine/match_volume.h"
#include "engine/stereo_matcher.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

using testing::Filled;
using testing::FirstDifference;

struct Job {
  int minDisparity = -4;
  int maxDisparity = 5;
  int winRadL0 = 1;
  int winRadRC = 2;
  int winRadD = 1;
  int iterations = 3;
  float maxScaler = 0.96f;
  int useSad = 1;
};

void RunJob(StereoMatcher& m, const FloatArray& image0, const FloatArray& image1, const Job& job,
            const JobProgress& progress = {}) {
  m.Run(image0, image1,
        testing::ParamsOf(job.minDisparity, job.maxDisparity, job.winRadL0, job.winRadRC,
                          job.winRadD, job.iterations, job.maxScaler, job.useSad),
        progress);
}

// Interior pixels at least `inset` from its edge. With WinRadL0 1 and WinRadRC
// 2, an inset of 4 (1 to the valid region, 1 for the L0 window, 2 for the
// support window) keeps every value that reaches the pixel clear of the
// unmatched margins. A disparity within 0.5 of the true one means the right
// index was chosen; the interpolation may move it up to half a pixel.
template <typename Check>
void ForInnerPixels(const StereoMatcher& m, int inset, Check check) {
  for (int r = 8 + inset; r <= m.Rows() - 9 - inset; ++r) {
    for (int c = 8 + inset; c <= m.Columns() - 9 - inset; ++c) check(r, c);
  }
}

TEST(StereoMatcherJob, FindsTheShiftOfAShiftedImage) {
  std::mt19937 rng(42);
  struct Case {
    int bands, shift, useSad;
  };
  for (const Case k : {Case{1, 0, 1}, Case{1, 2, 0}, Case{3, 2, 0}}) {
    const auto [image0, image1] = testing::ShiftedPair(50, 40, k.bands, k.shift, rng);
    Job job;
    job.useSad = k.useSad;
    job.maxDisparity = 8;  // interior indices 3 to 8: disparities -1 to 4
    StereoMatcher m;
    RunJob(m, image0, image1, job);
    EXPECT_EQ(m.IterationCount(), 3);
    ForInnerPixels(m, 4, [&](int r, int c) {
      EXPECT_EQ(m.L0()->At(r, c, k.shift - job.minDisparity), 1.0f) << r << ", " << c;
      EXPECT_LT(std::fabs(m.DispConf()->At(r, c, 0) - k.shift), 0.5f) << r << ", " << c;
      EXPECT_GT(m.DispConf()->At(r, c, 1), 0.0f) << r << ", " << c;
    });
    // The display map is the disparity map, scaled by 255 / 12.
    DisparityToDisplay(m);
    const float scale = static_cast<float>(255.0 / 12.0);
    EXPECT_EQ(m.DisplayMap()->At(20, 20, 0),
              static_cast<float>((static_cast<double>(m.DispConf()->At(20, 20, 0)) + 4) * scale));
  }
}

TEST(StereoMatcherJob, ReportsEveryStageAndStep) {
  std::mt19937 rng(43);
  const auto [image0, image1] = testing::ShiftedPair(36, 30, 3, 1, rng);
  StereoMatcher m;
  std::vector<std::tuple<JobStage, int, int>> reports;
  RunJob(m, image0, image1, Job{},
         [&](JobStage stage, int step, int steps) { reports.emplace_back(stage, step, steps); });
  const std::vector<std::tuple<JobStage, int, int>> expected = {
      {JobStage::InitialMatchValues, 1, 1},
      {JobStage::Iteration, 1, 3},
      {JobStage::Iteration, 2, 3},
      {JobStage::Iteration, 3, 3},
      {JobStage::Extraction, 1, 1}};
  EXPECT_EQ(reports, expected);
}

TEST(StereoMatcherJob, TwoIteratesEqualARunOfTwoIterations) {
  std::mt19937 rng(44);
  const auto [image0, image1] = testing::ShiftedPair(40, 32, 1, 1, rng);
  Job job;
  job.iterations = 0;
  StereoMatcher stepwise, direct;
  RunJob(stepwise, image0, image1, job);
  EXPECT_EQ(stepwise.IterationCount(), 0);
  stepwise.Iterate();
  stepwise.Iterate();
  EXPECT_EQ(stepwise.IterationCount(), 2);

  job.iterations = 2;
  RunJob(direct, image0, image1, job);
  EXPECT_EQ(FirstDifference(*direct.Ln(), *stepwise.Ln()), -1);
  stepwise.ExtractDispConf();
  EXPECT_EQ(FirstDifference(*direct.DispConf(), *stepwise.DispConf()), -1);
}

TEST(StereoMatcherJob, NoIterationsAndTinyImages) {
  std::mt19937 rng(45);
  const auto [image0, image1] = testing::ShiftedPair(30, 30, 1, 0, rng);
  Job job;
  job.iterations = -5;
  StereoMatcher m;
  RunJob(m, image0, image1, job);
  EXPECT_EQ(m.IterationCount(), 0);
  EXPECT_EQ(m.L0Ready(), 1);

  // No interior at all: every pixel reads MinDisparity + 1 off an all-zero Ln.
  const FloatArray tiny = Filled(5, 4, 1, 10.0f);
  job.iterations = 2;
  RunJob(m, tiny, tiny, job);
  EXPECT_EQ(m.IterationCount(), 2);
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 5; ++c) {
      EXPECT_EQ(m.DispConf()->At(r, c, 0), job.minDisparity + 1.0f);
      EXPECT_EQ(m.DispConf()->At(r, c, 1), 0.0f);
    }
  }
}

TEST(StereoMatcherJob, ALargerImageOneIsReadOnlyWhereImageZeroLies) {
  std::mt19937 rng(46);
  const auto [image0, image1] = testing::ShiftedPair(36, 30, 3, 1, rng);
  FloatArray larger = Filled(50, 41, 3, 1e6f);
  for (int r = 0; r < 30; ++r) {
    for (int c = 0; c < 36; ++c) {
      for (int b = 0; b < 3; ++b) larger.At(r, c, b) = image1.At(r, c, b);
    }
  }
  for (int useSad : {0, 1}) {
    Job job;
    job.useSad = useSad;
    StereoMatcher exact, padded;
    RunJob(exact, image0, image1, job);
    RunJob(padded, image0, larger, job);
    EXPECT_EQ(FirstDifference(*exact.DispConf(), *padded.DispConf()), -1);
  }
}

TEST(StereoMatcherJob, ExtremeDisparitiesDoNotOverflow) {
  const FloatArray image = Filled(30, 24, 1, 50.0f);
  Job job;
  job.minDisparity = INT_MAX - 8;
  job.maxDisparity = INT_MAX;
  StereoMatcher m;
  RunJob(m, image, image, job);
  EXPECT_EQ(m.L0()->At(12, 12, 4), 0.08f);
  job.minDisparity = INT_MIN;
  job.maxDisparity = INT_MIN + 8;
  job.useSad = 0;
  RunJob(m, image, image, job);
  EXPECT_EQ(m.L0()->At(12, 12, 4), 0.08f);
}

TEST(StereoMatcherValidation, RefusesWhatTheEngineCannotUse) {
  const FloatArray grey = Filled(20, 20, 1, 1.0f);
  EXPECT_NO_THROW(ValidateJob(grey, grey, testing::ParamsOf(-4, 5, 7, 7, 2, 0, 0.96f, 1)));
  EXPECT_NO_THROW(ValidateJob(grey, grey, testing::ParamsOf(0, 1, 0, 0, 0, 0, 0.96f, 1)));
  struct Case {
    int columns0, rows0, bands0, columns1, rows1, bands1;
    int minDisparity, maxDisparity, winRadL0, winRadRC, winRadD;
    const char* mention;
  };
  const Case cases[] = {
      {0, 20, 1, 20, 20, 1, -4, 5, 1, 2, 1, "empty"},
      {20, 0, 1, 20, 20, 1, -4, 5, 1, 2, 1, "empty"},
      {20, 20, 0, 20, 20, 0, -4, 5, 1, 2, 1, "empty"},
      {20, 20, 1, 20, 20, 3, -4, 5, 1, 2, 1, "band"},
      {20, 20, 1, 19, 20, 1, -4, 5, 1, 2, 1, "smaller"},
      {20, 20, 1, 20, 19, 1, -4, 5, 1, 2, 1, "smaller"},
      {20, 20, 1, 20, 20, 1, -4, -4, 1, 2, 1, "MaxDisparity"},
      {20, 20, 1, 20, 20, 1, -4, -5, 1, 2, 1, "MaxDisparity"},
      {20, 20, 1, 20, 20, 1, INT_MIN, INT_MAX, 1, 2, 1, "too large"},
      {20, 20, 1, 20, 20, 1, -4, 5, -1, 2, 1, "WinRadL0"},
      {20, 20, 1, 20, 20, 1, -4, 5, 8, 2, 1, "WinRadL0"},
      {20, 20, 1, 20, 20, 1, -4, 5, 1, -1, 1, "WinRadRC"},
      {20, 20, 1, 20, 20, 1, -4, 5, 1, 8, 1, "WinRadRC"},
      {20, 20, 1, 20, 20, 1, -4, 5, 1, 2, -1, "WinRadD"},
      {20, 20, 1, 20, 20, 1, -4, 5, 1, 2, 3, "WinRadD"},
  };
  for (const Case& c : cases) {
    try {
      ValidateJob(Filled(c.columns0, c.rows0, c.bands0, 1.0f),
                  Filled(c.columns1, c.rows1, c.bands1, 1.0f),
                  testing::ParamsOf(c.minDisparity, c.maxDisparity, c.winRadL0, c.winRadRC,
                                    c.winRadD, 0, 0.96f, 1));
      ADD_FAILURE() << "accepted; expected a refusal mentioning " << c.mention;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.mention), std::string::npos) << e.what();
    }
  }
}

TEST(StereoMatcherLifecycle, RefuseReleaseAndRunAgain) {
  StereoMatcher empty;
  empty.Release();
  EXPECT_EQ(empty.IterationCount(), -1);
  EXPECT_EQ(empty.L0Ready(), 0);
  EXPECT_EQ(empty.L0(), nullptr);

  std::mt19937 rng(48);
  const auto [small0, small1] = testing::ShiftedPair(30, 26, 1, 1, rng);
  const auto [large0, large1] = testing::ShiftedPair(40, 34, 1, 2, rng);
  StereoMatcher reused, fresh;
  reused.OutputFileName = "kept.dis";
  Job job;
  RunJob(reused, small0, small1, job);
  // A refused job leaves the previous results.
  const FloatArray* before = reused.DispConf();
  Job bad;
  bad.winRadD = 3;
  EXPECT_THROW(RunJob(reused, small0, small1, bad), std::invalid_argument);
  EXPECT_EQ(reused.DispConf(), before);
  EXPECT_EQ(reused.IterationCount(), 3);
  EXPECT_EQ(reused.WinRadD(), 1);

  job.minDisparity = -2;
  job.maxDisparity = 6;
  RunJob(reused, large0, large1, job);
  RunJob(fresh, large0, large1, job);
  EXPECT_EQ(reused.Columns(), 40);
  EXPECT_EQ(reused.NumDisparities(), 8);
  EXPECT_EQ(FirstDifference(*reused.DispConf(), *fresh.DispConf()), -1);
  EXPECT_EQ(FirstDifference(*reused.Ln(), *fresh.Ln()), -1);

  reused.Release();
  EXPECT_EQ(reused.Ln(), nullptr);
  EXPECT_EQ(reused.DisplayMap(), nullptr);
  EXPECT_EQ(reused.Rows(), 0);
  EXPECT_EQ(reused.NumDisparities(), 0);
  EXPECT_EQ(reused.IterationCount(), -1);
  EXPECT_EQ(reused.MinDisparity(), -2);
  EXPECT_EQ(reused.WinRadRC(), 2);
  EXPECT_EQ(reused.OutputFileName, "kept.dis");
}

// A job keeps the previous job's grids where their storage holds what it
// needs and not more than twice that, and must then rewrite every cell:
// whatever the kept grids hold (here NaN everywhere) may not reach the
// results, with either engine. The first job has 9 disparities.
TEST(StereoMatcherLifecycle, AJobKeepsGridsThatFitAndRewritesEveryCell) {
  struct Case {
    int minDisparity, maxDisparity;
    bool kept;
  };
  const Case cases[] = {{-7, 2, true}, {-3, 2, true}, {0, 3, false}, {-8, 4, false}};
  std::mt19937 rng(50);
  const auto [image0, image1] = testing::ShiftedPair(36, 30, 3, 2, rng);
  for (EngineKind engine : {EngineKind::Fast, EngineKind::Reference}) {
    for (const Case& c : cases) {
      StereoMatcher reused, fresh;
      reused.Engine = fresh.Engine = engine;
      Job first;
      RunJob(reused, image0, image1, first);
      const FloatArray* volume = reused.Ln();
      // Stale values in every cell the matcher lets hold one.
      testing::Plant(reused, [](FloatArray& l0, FloatArray& ln) {
        l0.Fill(std::nanf(""));
        const Interior inner = InteriorOf(ln.rows(), ln.columns(), ln.bands());
        for (int r = inner.firstRow; r <= inner.lastRow; ++r) {
          for (int c = inner.firstColumn; c <= inner.lastColumn; ++c) {
            for (int d = inner.firstIndex; d <= inner.lastIndex; ++d)
              ln.At(r, c, d) = std::nanf("");
          }
        }
      });
      reused.LoadResults(testing::Filled(reused.Columns(), reused.Rows(), 2, std::nanf("")));
      reused.DisplayMapForWriting().Fill(std::nanf(""));
      Job second;
      second.minDisparity = c.minDisparity;
      second.maxDisparity = c.maxDisparity;
      second.winRadL0 = 3;
      second.winRadRC = 1;
      second.winRadD = 2;
      second.useSad = 0;
      RunJob(reused, image0, image1, second);
      RunJob(fresh, image0, image1, second);
      const std::string where =
          "disparities " + std::to_string(c.minDisparity) + ".." + std::to_string(c.maxDisparity);
      EXPECT_EQ(reused.Ln()->bands(), c.maxDisparity - c.minDisparity) << where;
      if (c.kept) {
        EXPECT_EQ(reused.Ln(), volume) << where;
      } else {
        EXPECT_EQ(reused.Ln()->capacity(), reused.Ln()->size()) << where;
      }
      EXPECT_EQ(FirstDifference(*reused.L0(), *fresh.L0()), -1) << where;
      EXPECT_EQ(FirstDifference(*reused.Ln(), *fresh.Ln()), -1) << where;
      EXPECT_EQ(FirstDifference(*reused.DispConf(), *fresh.DispConf()), -1) << where;
      DisparityToDisplay(reused);
      DisparityToDisplay(fresh);
      EXPECT_EQ(FirstDifference(*reused.DisplayMap(), *fresh.DisplayMap()), -1) << where;
    }
  }
}

TEST(StereoMatcherLifecycle, AnInterruptedJobLeavesTheMatcherEmpty) {
  std::mt19937 rng(49);
  const auto [image0, image1] = testing::ShiftedPair(30, 26, 1, 1, rng);
  StereoMatcher m;
  struct Stop {};
  EXPECT_THROW(RunJob(m, image0, image1, Job{},
                      [](JobStage stage, int step, int) {
                        if (stage == JobStage::Iteration && step == 2) throw Stop{};
                      }),
               Stop);
  EXPECT_EQ(m.L0(), nullptr);
  EXPECT_EQ(m.DispConf(), nullptr);
  EXPECT_EQ(m.L0Ready(), 0);
  EXPECT_EQ(m.IterationCount(), -1);
}

// ---- What callers may change, and only through checked entry points ----

// A matcher whose state can be compared after a refused call: a finished
// job with Ln, DispConf and DisplayMap changed by hand where allowed.
struct Snapshot {
  const FloatArray* l0;
  const FloatArray* ln;
  const FloatArray* dispConf;
  FloatArray l0Values, lnValues, dispConfValues;
  int rows, columns, disparities, minDisparity, winRadRC, winRadD, iterations, l0Ready;

  explicit Snapshot(const StereoMatcher& m)
      : l0(m.L0()),
        ln(m.Ln()),
        dispConf(m.DispConf()),
        l0Values(testing::Copy(*m.L0())),
        lnValues(testing::Copy(*m.Ln())),
        dispConfValues(testing::Copy(*m.DispConf())),
        rows(m.Rows()),
        columns(m.Columns()),
        disparities(m.NumDisparities()),
        minDisparity(m.MinDisparity()),
        winRadRC(m.WinRadRC()),
        winRadD(m.WinRadD()),
        iterations(m.IterationCount()),
        l0Ready(m.L0Ready()) {}

  void ExpectUnchanged(const StereoMatcher& m, const std::string& where) const {
    EXPECT_EQ(m.L0(), l0) << where;
    EXPECT_EQ(m.Ln(), ln) << where;
    EXPECT_EQ(m.DispConf(), dispConf) << where;
    EXPECT_EQ(FirstDifference(*m.L0(), l0Values), -1) << where;
    EXPECT_EQ(FirstDifference(*m.Ln(), lnValues), -1) << where;
    EXPECT_EQ(FirstDifference(*m.DispConf(), dispConfValues), -1) << where;
    EXPECT_EQ(
        std::tie(rows, columns, disparities, minDisparity, winRadRC, winRadD, iterations, l0Ready),
        std::make_tuple(m.Rows(), m.Columns(), m.NumDisparities(), m.MinDisparity(), m.WinRadRC(),
                        m.WinRadD(), m.IterationCount(), m.L0Ready()))
        << where;
  }
};

StereoMatcher FinishedJob() {
  std::mt19937 rng(71);
  const auto [image0, image1] = testing::ShiftedPair(24, 20, 1, 2, rng);
  StereoMatcher m;
  RunJob(m, image0, image1, Job{});
  return m;
}

TEST(StereoMatcherState, LoadVolumesRefusesWhatBreaksTheGridsAndKeepsTheMatcher) {
  StereoMatcher m = FinishedJob();  // 24 x 20 x 9, interior rows 8 .. 11, indices 3 .. 5
  const Snapshot before(m);
  auto zeros = [](int columns, int rows, int bands) { return Filled(columns, rows, bands, 0.0f); };
  struct Case {
    std::string name;
    FloatArray l0, ln;
    int iterations;
  };
  FloatArray marginRow = zeros(24, 20, 9), marginIndex = zeros(24, 20, 9),
             negativeZero = zeros(24, 20, 9);
  marginRow.At(7, 12, 4) = 1.0f;
  marginIndex.At(10, 12, 2) = 1.0f;
  negativeZero.At(0, 0, 0) = -0.0f;  // a zero all the same: accepted below
  std::vector<Case> refused;
  refused.push_back({"L0 one index short", zeros(24, 20, 8), zeros(24, 20, 9), 0});
  refused.push_back({"Ln one row short", zeros(24, 20, 9), zeros(24, 19, 9), 0});
  refused.push_back({"Ln columns and rows swapped", zeros(24, 20, 9), zeros(20, 24, 9), 0});
  refused.push_back({"Ln set above the interior", zeros(24, 20, 9), std::move(marginRow), 0});
  refused.push_back({"Ln set below its indices", zeros(24, 20, 9), std::move(marginIndex), 0});
  refused.push_back({"a negative count", zeros(24, 20, 9), zeros(24, 20, 9), -1});
  for (Case& c : refused) {
    EXPECT_THROW(m.LoadVolumes(std::move(c.l0), std::move(c.ln), c.iterations),
                 std::invalid_argument)
        << c.name;
    before.ExpectUnchanged(m, c.name);
  }

  m.LoadVolumes(zeros(24, 20, 9), std::move(negativeZero), 5);
  EXPECT_EQ(m.IterationCount(), 5);
  EXPECT_EQ(m.L0Ready(), 1);

  StereoMatcher empty;
  EXPECT_THROW(empty.LoadVolumes(zeros(0, 0, 0), zeros(0, 0, 0), 0), std::invalid_argument);
  EXPECT_EQ(empty.L0(), nullptr);
  EXPECT_EQ(empty.IterationCount(), -1);
}

TEST(StereoMatcherState, OtherEntryPointsRefuseWithoutChangingTheMatcher) {
  StereoMatcher m = FinishedJob();
  const Snapshot before(m);
  EXPECT_THROW(m.LoadResults(Filled(24, 20, 1, 0.0f)), std::invalid_argument);
  EXPECT_THROW(m.LoadResults(Filled(23, 20, 2, 0.0f)), std::invalid_argument);
  before.ExpectUnchanged(m, "LoadResults");
  EXPECT_THROW(m.SetIterationRadii(8, 1), std::invalid_argument);
  EXPECT_THROW(m.SetIterationRadii(2, 3), std::invalid_argument);
  before.ExpectUnchanged(m, "SetIterationRadii");

  // Parameters Run would refuse are refused before the job is given up.
  for (const StereoParams& params : {testing::RangeParams(0, 4), testing::RangeParams(-1, 4),
                                     testing::ParamsOf(0, 4, 8, 2, 1, 1, 0.96f, 1),
                                     testing::ParamsOf(0, 4, 1, 2, 3, 1, 0.96f, 1),
                                     testing::ParamsOf(INT_MIN, INT_MAX, 1, 2, 1, 1, 0.96f, 1)}) {
    const std::string where = "disparities " + std::to_string(params.MinDisparity) + ".." +
                              std::to_string(params.MaxDisparity);
    EXPECT_THROW(m.Prepare(20, 24, params), std::invalid_argument) << where;
    EXPECT_THROW(m.RunForResults(Filled(24, 20, 1, 0.0f), params, true, [](FloatArray*) {}),
                 std::invalid_argument)
        << where;
    before.ExpectUnchanged(m, where);
  }
  EXPECT_THROW(m.Prepare(0, 24, testing::RangeParams(9, -4)), std::invalid_argument);
  before.ExpectUnchanged(m, "no rows");

  StereoMatcher empty;
  EXPECT_THROW(empty.DisplayMapForWriting(), std::logic_error);
  EXPECT_THROW(empty.LoadResults(Filled(0, 0, 2, 0.0f)), std::invalid_argument);
  EXPECT_EQ(empty.DispConf(), nullptr);
}

// Stages run one by one on prepared grids give the bits of Run.
TEST(StereoMatcherState, PreparedGridsRunTheStagesAsRunDoes) {
  std::mt19937 rng(71);
  const auto [image0, image1] = testing::ShiftedPair(24, 20, 1, 2, rng);
  const StereoMatcher whole = FinishedJob();
  const StereoParams params = testing::ParamsOf(-4, 5, 1, 2, 1, 3, 0.96f, 1);
  StereoMatcher stepwise;
  stepwise.Prepare(20, 24, params);
  EXPECT_EQ(stepwise.IterationCount(), 0);
  EXPECT_EQ(stepwise.L0Ready(), 0);
  stepwise.ComputeL0(image0, image1, params.WinRadL0, params.MaxScaler, params.Cost);
  stepwise.RunIterations(params.NumIterations);
  stepwise.ExtractDispConf();
  EXPECT_EQ(stepwise.IterationCount(), whole.IterationCount());
  EXPECT_EQ(FirstDifference(*stepwise.Ln(), *whole.Ln()), -1);
  EXPECT_EQ(FirstDifference(*stepwise.DispConf(), *whole.DispConf()), -1);
}

}  // namespace
}  // namespace tavrel
