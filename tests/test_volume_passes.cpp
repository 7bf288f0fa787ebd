#include <gtest/gtest.h>

#include <new>
#include <random>
#include <stdexcept>
#include <string>

#include "engine/float_array.h"
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

// What a pass reads of Ln: copies cleared outside the interior, the last
// few of them held, never an interior row it has already rewritten.
TEST(InPlaceRows, HandsClearedCopiesAndRefusesRowsAlreadyRewritten) {
  FloatArray volume = testing::Filled(20, 22, 9, 5.0f);
  streamed::InPlaceRows rows(volume, 3);
  const float* top = rows.Row(0);
  for (int k = 0; k < 20 * 9; ++k) EXPECT_EQ(top[k], 0.0f);
  const float* interior = rows.Row(8);
  for (int c = 0; c < 20; ++c) {
    for (int d = 0; d < 9; ++d) {
      const bool inside = c >= 8 && c <= 11 && d >= 3 && d <= 5;
      EXPECT_EQ(interior[c * 9 + d], inside ? 5.0f : 0.0f) << c << " " << d;
    }
  }
  EXPECT_EQ(volume.At(8, 0, 0), 5.0f) << "the volume itself is left alone";

  const FloatArray ones = testing::Filled(20, 1, 9, 1.0f);
  for (int r = 0; r <= 9; ++r) rows.Rewrite(r, ones.data());
  EXPECT_EQ(volume.At(9, 3, 4), 1.0f);
  EXPECT_EQ(rows.Row(8)[8 * 9 + 4], 5.0f) << "a row read before its rewrite keeps its values";
  EXPECT_THROW(rows.Row(5), std::logic_error) << "no longer held";
  EXPECT_THROW(rows.Row(9), std::logic_error) << "first read after its rewrite";
  EXPECT_THROW(rows.Rewrite(12, ones.data()), std::logic_error);

  streamed::InPlaceRows again(volume, 3);
  EXPECT_EQ(again.Row(3)[0], 0.0f) << "rows outside the interior read as zeros";
}

}  // namespace
}  // namespace tavrel
