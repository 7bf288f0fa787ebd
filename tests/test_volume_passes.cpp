#include <gtest/gtest.h>

#include <new>
#include <random>
#include <stdexcept>
#include <string>

#include "engine/float_array.h"
#include "engine/match_volume.h"
#include "engine/stereo_backend.h"
#include "engine/stereo_matcher.h"
#include "engine/streamed_pipeline.h"
#include "engine/streamed_volumes.h"
#include "tests/engine_test_support.h"

// The fast backend runs the streamed stages on the matcher's volumes: a pass
// makes L0 with the first iterations on its way, or runs several iterations
// of Ln in place. These check what passes add to single steps: the split of
// a series into passes, stops between them, and the in-place rewrite.
namespace tavrel {
namespace {

using testing::FirstDifference;

// A tall image, so that a pass holds several iterations within its share of
// the volume, with a range that is not a multiple of any vector width.
struct Scene {
  StereoParams params = testing::ParamsOf(-7, 6, 1, 2, 1, 0, 0.96f, 1);
  testing::ImagePair images;

  explicit Scene(std::mt19937& rng) : images(testing::ShiftedPair(40, 300, 2, -1, rng)) {}
};

// The reference's Ln after 0, 1, ... `iterations` iterations.
std::vector<FloatArray> ReferenceSeries(const Scene& scene, int iterations) {
  StereoMatcher m;
  m.Engine = EngineKind::Reference;
  m.Run(scene.images.image0, scene.images.image1, scene.params);
  std::vector<FloatArray> series;
  series.push_back(testing::Copy(*m.Ln()));
  for (int i = 0; i < iterations; ++i) {
    m.Iterate();
    series.push_back(testing::Copy(*m.Ln()));
  }
  return series;
}

TEST(VolumePasses, ASeriesInPassesMatchesTheReferenceOnAnyThreadCount) {
  std::mt19937 rng(61);
  const Scene scene(rng);
  const int iterations = 11;
  const std::vector<FloatArray> expected = ReferenceSeries(scene, iterations);
  for (int threads : {1, 2, 3}) {
    testing::ThreadCount scope(threads);
    StereoMatcher m;
    m.Run(scene.images.image0, scene.images.image1, scene.params);
    // The series must take more than one pass, some of several iterations.
    const StageGrids shape{.Rows = m.Rows(),
                           .Columns = m.Columns(),
                           .NumDisparities = m.NumDisparities(),
                           .MinDisparity = m.MinDisparity(),
                           .WinRadRC = m.WinRadRC(),
                           .WinRadD = m.WinRadD()};
    const int pass = BackendFor(EngineKind::Fast).PassIterations(shape, iterations);
    EXPECT_GT(pass, 1) << threads << " threads";
    EXPECT_LT(pass, iterations) << threads << " threads";
    m.RunIterations(iterations);
    EXPECT_EQ(m.IterationCount(), iterations);
    EXPECT_EQ(FirstDifference(expected.back(), *m.Ln()), -1) << threads << " threads";

    // The same series fused into the job: the first pass makes L0 too.
    StereoParams params = scene.params;
    params.NumIterations = iterations;
    StereoMatcher whole;
    whole.Run(scene.images.image0, scene.images.image1, params);
    EXPECT_EQ(whole.IterationCount(), iterations);
    EXPECT_EQ(FirstDifference(*m.L0(), *whole.L0()), -1) << threads << " threads";
    EXPECT_EQ(FirstDifference(expected.back(), *whole.Ln()), -1) << threads << " threads";
  }
}

// A stop asked for within a pass ends the series before that iteration:
// the volume holds whole iterations and the count says how many.
TEST(VolumePasses, AStopWithinAPassLeavesWholeIterations) {
  std::mt19937 rng(62);
  const Scene scene(rng);
  const std::vector<FloatArray> expected = ReferenceSeries(scene, 6);
  for (int stopAt : {1, 2, 4, 6}) {
    StereoMatcher m;
    m.Run(scene.images.image0, scene.images.image1, scene.params);
    auto progress = [stopAt](JobStage, int step, int) {
      if (step == stopAt) throw std::runtime_error("stop");
    };
    EXPECT_THROW(m.RunIterations(6, progress), std::runtime_error);
    EXPECT_EQ(m.IterationCount(), stopAt - 1);
    EXPECT_EQ(FirstDifference(expected[stopAt - 1], *m.Ln()), -1) << "stop at " << stopAt;
    m.RunIterations(6 - (stopAt - 1));
    EXPECT_EQ(FirstDifference(expected.back(), *m.Ln()), -1) << "resumed after " << stopAt;
  }
}

// A pass that fails may have rewritten part of Ln; the matcher then holds
// no volumes rather than values that belong to no iteration.
TEST(VolumePasses, AFailedPassLeavesTheMatcherEmpty) {
  std::mt19937 rng(63);
  const Scene scene(rng);
  StereoMatcher m;
  m.Run(scene.images.image0, scene.images.image1, scene.params);
  streamed::FailNthAllocation(2);
  EXPECT_THROW(m.RunIterations(4), std::bad_alloc);
  streamed::FailNthAllocation(0);
  EXPECT_EQ(m.Ln(), nullptr);
  EXPECT_EQ(m.IterationCount(), -1);
  EXPECT_THROW(m.Iterate(), std::logic_error);
}

// What a pass reads of Ln and when it may write it back: rows where they
// lie, cleared outside the interior unless the caller vouches that they are
// 0 there; an interior row is rewritten only once the reader is a window
// past it, and never read after that.
TEST(InPlaceRows, RewritesOnlyRowsTheReaderIsDoneWith) {
  FloatArray volume = testing::Filled(20, 22, 9, 5.0f);
  streamed::InPlaceRows rows(volume, 3);
  EXPECT_EQ(rows.Row(0), &volume.At(0, 0, 0)) << "no copy";
  const FloatArray ones = testing::Filled(20, 1, 9, 1.0f);
  for (int r = 0; r < 8; ++r) {
    EXPECT_TRUE(rows.Done(r)) << "rows outside the interior are 0 before and after";
    rows.Rewrite(r, ones.data());
  }
  EXPECT_FALSE(rows.Done(8)) << "not read yet";
  EXPECT_THROW(rows.Rewrite(8, ones.data()), std::logic_error);
  rows.Row(10);
  EXPECT_FALSE(rows.Done(8)) << "still within the window";
  rows.Row(11);
  EXPECT_TRUE(rows.Done(8));
  EXPECT_FALSE(rows.Done(9));
  rows.Rewrite(8, ones.data());
  EXPECT_EQ(volume.At(8, 9, 4), 1.0f);
  EXPECT_EQ(volume.At(9, 9, 4), 5.0f) << "read, not rewritten";
  EXPECT_EQ(volume.At(9, 9, 0), 0.0f) << "cleared outside the interior when first read";
  EXPECT_EQ(volume.At(12, 9, 0), 5.0f) << "not read yet";
  EXPECT_EQ(volume.At(21, 9, 4), 0.0f) << "a row outside the interior";
  EXPECT_THROW(rows.Row(8), std::logic_error) << "read after its rewrite";
  EXPECT_THROW(rows.Rewrite(10, ones.data()), std::logic_error) << "out of order";
  EXPECT_NO_THROW(rows.Row(14));

  // A volume already 0 outside the interior is read as it lies.
  FloatArray cleared = testing::Filled(20, 22, 9, 5.0f);
  ClearOutsideInterior(cleared);
  const FloatArray before = testing::Copy(cleared);
  streamed::InPlaceRows untouched(cleared, 3, false);
  for (int r = 0; r < 22; ++r) EXPECT_EQ(untouched.Row(r), &cleared.At(r, 0, 0));
  EXPECT_EQ(FirstDifference(cleared, before), -1);
}

}  // namespace
}  // namespace tavrel
