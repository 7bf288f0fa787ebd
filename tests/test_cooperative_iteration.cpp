#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/match_volume.h"
#include "engine/reference_engine.h"
#include "engine/stereo_matcher.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

using testing::Bits;
using testing::InInterior;
using testing::MatcherWithGrids;

// One iteration by its one-line definition: new Ln = L0 * max(0, S / T)^2 in
// the interior (S / T replaced by S when T is 0), 0 elsewhere, with S the box
// sum of the old Ln (cells outside the interior counted as 0) and T the sum of
// S along the image-0 line of sight plus, when its column is interior, the
// image-1 line of sight. Sums are formed directly, not as running sums.
FloatArray OneLineIteration(const StereoMatcher& m) {
  const int R = m.Rows(), C = m.Columns(), D = m.NumDisparities();
  auto old = [&](int r, int c, int d) {
    return (r >= 0 && r < R && c >= 0 && c < C && d >= 0 && d < D && InInterior(m, r, c, d))
               ? static_cast<double>(m.Ln()->At(r, c, d))
               : 0.0;
  };
  FloatArray S(C, R, D);
  S.Fill(0.0f);
  FloatArray image0Sums(C, R, 1), image1Sums(C, R, 1);
  image0Sums.Fill(0.0f);
  image1Sums.Fill(0.0f);
  for (int r = 0; r < R; ++r) {
    for (int c = 0; c < C; ++c) {
      for (int d = 0; d < D; ++d) {
        if (!InInterior(m, r, c, d)) continue;
        double sum = 0.0;
        for (int dr = -m.WinRadRC(); dr <= m.WinRadRC(); ++dr) {
          for (int dc = -m.WinRadRC(); dc <= m.WinRadRC(); ++dc) {
            for (int dd = -m.WinRadD(); dd <= m.WinRadD(); ++dd) sum += old(r + dr, c + dc, d + dd);
          }
        }
        S.At(r, c, d) = static_cast<float>(sum);
        image0Sums.At(r, c, 0) += S.At(r, c, d);
        const int c1 = c + m.MinDisparity() + d;
        if (c1 >= 8 && c1 <= C - 9) image1Sums.At(r, c1, 0) += S.At(r, c, d);
      }
    }
  }
  FloatArray next(C, R, D);
  next.Fill(0.0f);
  for (int r = 0; r < R; ++r) {
    for (int c = 0; c < C; ++c) {
      for (int d = 0; d < D; ++d) {
        if (!InInterior(m, r, c, d)) continue;
        const int c1 = c + m.MinDisparity() + d;
        float T = image0Sums.At(r, c, 0);
        if (c1 >= 8 && c1 <= C - 9) T += image1Sums.At(r, c1, 0);
        const float s = S.At(r, c, d);
        const float ratio = T != 0.0f ? s / T : s;
        const float v = std::max(0.0f, ratio);
        next.At(r, c, d) = m.L0()->At(r, c, d) * (v * v);
      }
    }
  }
  return next;
}

struct Volumes {
  FloatArray l0;
  FloatArray ln;
};

// Ln everywhere (margins too) and L0 as multiples of 1/8, so that every sum
// is exact and only the division, the square and the product round.
Volumes Eighths(const StereoMatcher& m, std::mt19937& rng) {
  std::uniform_int_distribution<int> eighths(0, 16);
  Volumes v{FloatArray(m.Columns(), m.Rows(), m.NumDisparities()),
            FloatArray(m.Columns(), m.Rows(), m.NumDisparities())};
  for (std::size_t i = 0; i < v.ln.size(); ++i) v.ln.data()[i] = eighths(rng) / 8.0f;
  for (std::size_t i = 0; i < v.l0.size(); ++i) v.l0.data()[i] = (1 + eighths(rng)) / 8.0f;
  return v;
}

TEST(CooperativeIteration, MatchesTheOneLineDefinitionToTheBit) {
  std::mt19937 rng(21);
  for (int minDisparity : {-2, 3, 40}) {
    for (int radiusRC : {0, 1, 2, 7}) {
      for (int radiusD = 0; radiusD <= 2; ++radiusD) {
        StereoMatcher m = MatcherWithGrids(20, 23, 11, minDisparity);
        m.SetIterationRadii(radiusRC, radiusD);
        Volumes v = Eighths(m, rng);
        // The stage itself must ignore whatever the margins hold; the
        // matcher never lets them hold anything but 0.
        FloatArray stageL0 = testing::Copy(v.l0), stageLn = testing::Copy(v.ln);
        StageGrids grids{.Rows = m.Rows(),
                         .Columns = m.Columns(),
                         .NumDisparities = m.NumDisparities(),
                         .MinDisparity = m.MinDisparity(),
                         .WinRadRC = radiusRC,
                         .WinRadD = radiusD,
                         .L0 = &stageL0,
                         .Ln = &stageLn};
        reference::Iterate(grids);
        ClearOutsideInterior(v.ln);
        m.LoadVolumes(std::move(v.l0), std::move(v.ln), 0);
        const FloatArray expected = OneLineIteration(m);
        m.Engine = EngineKind::Reference;
        m.Iterate();
        EXPECT_EQ(testing::FirstDifference(*m.Ln(), expected), -1)
            << "MinDisparity " << minDisparity << ", radii " << radiusRC << ", " << radiusD;
        EXPECT_EQ(testing::FirstDifference(stageLn, expected), -1)
            << "MinDisparity " << minDisparity << ", radii " << radiusRC << ", " << radiusD;
        EXPECT_EQ(m.IterationCount(), 1);
      }
    }
  }
}

TEST(CooperativeIteration, RefusesMissingVolumesAndRadiiBeyondTheLimits) {
  StereoMatcher empty;
  EXPECT_THROW(empty.Iterate(), std::logic_error);

  for (auto [rc, d] : {std::pair{8, 1}, std::pair{-1, 1}, std::pair{2, 3}, std::pair{2, -1}}) {
    StereoMatcher bad = MatcherWithGrids(20, 20, 8, 0);
    EXPECT_THROW(bad.SetIterationRadii(rc, d), std::invalid_argument);
    EXPECT_EQ(bad.WinRadRC(), 2);
    EXPECT_EQ(bad.WinRadD(), 1);
    EXPECT_EQ(bad.IterationCount(), 0);
  }
}

}  // namespace
}  // namespace tavrel
