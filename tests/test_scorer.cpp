// The scorer's figures on small hand-made maps, its loaders, and the export of
// the disparity in the benchmarks' sign.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch_test_support.h"
#include "evaluation/exported_maps.h"
#include "evaluation/scorer.h"
#include "files/pfm_writing.h"
#include "imageio/grey_png.h"
#include "imageio/pfm_file.h"

namespace tavrel {
namespace {

using testing::TempDir;
using testing::WriteText;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::unique_ptr<FloatArray> Grid(int columns, int rows, const std::vector<float>& values) {
  auto grid = std::make_unique<FloatArray>(columns, rows, 1);
  for (std::size_t i = 0; i < values.size(); ++i) grid->data()[i] = values[i];
  return grid;
}

std::unique_ptr<FloatArray> Filled(int columns, int rows, float value) {
  auto grid = std::make_unique<FloatArray>(columns, rows, 1);
  grid->Fill(value);
  return grid;
}

ScoreParameters NoBorder() {
  ScoreParameters parameters;
  parameters.border = 0;
  return parameters;
}

// Ten pixels whose errors are 0, 0.5, 0.75, 1, 1.5, 2, 3, 4, 6 and 8, the
// estimates in the program's own (negative) sign.
struct TenErrors : ::testing::Test {
  const std::vector<float> errors = {0, 0.5f, 0.75f, 1, 1.5f, 2, 3, 4, 6, 8};
  std::unique_ptr<FloatArray> truth = Grid(10, 1, {10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
  std::unique_ptr<FloatArray> estimate = std::make_unique<FloatArray>(10, 1, 1);
  void SetUp() override {
    for (int c = 0; c < 10; ++c) {
      // Alternate over- and underestimates: the error is absolute.
      const float signedError = c % 2 ? errors[c] : -errors[c];
      estimate->At(0, c, 0) = -(truth->At(0, c, 0) + signedError);
    }
  }
};

TEST_F(TenErrors, EachFigureFollowsItsDefinition) {
  const Score score = ScoreDisparity(*estimate, *truth, nullptr, NoBorder());
  EXPECT_EQ(score.evaluatedPixels, 10);
  EXPECT_EQ(score.estimatedPixels, 10);
  // An error equal to the threshold is not wrong: bad-t counts |e| > t.
  EXPECT_DOUBLE_EQ(score.bad0_5, 80.0);
  EXPECT_DOUBLE_EQ(score.bad1, 60.0);
  EXPECT_DOUBLE_EQ(score.bad2, 40.0);
  EXPECT_DOUBLE_EQ(score.bad4, 20.0);
  EXPECT_DOUBLE_EQ(score.mae, 26.75 / 10);
  EXPECT_DOUBLE_EQ(score.rms, std::sqrt(133.0625 / 10));
  // Nearest rank over ten errors: ranks 5, 9, 10 and 10.
  EXPECT_EQ(score.a50, 1.5);
  EXPECT_EQ(score.a90, 6.0);
  EXPECT_EQ(score.a95, 8.0);
  EXPECT_EQ(score.a99, 8.0);
  EXPECT_DOUBLE_EQ(score.coverage, 100.0);
}

TEST_F(TenErrors, SameSignComparesTheEstimatesAsTheyAre) {
  ScoreParameters parameters = NoBorder();
  parameters.sameSign = true;
  EXPECT_DOUBLE_EQ(ScoreDisparity(*estimate, *truth, nullptr, parameters).bad4, 100.0);
  for (int c = 0; c < 10; ++c) estimate->At(0, c, 0) = -estimate->At(0, c, 0);
  const Score same = ScoreDisparity(*estimate, *truth, nullptr, parameters);
  EXPECT_DOUBLE_EQ(same.bad1, 60.0);
  EXPECT_DOUBLE_EQ(same.mae, 26.75 / 10);
}

TEST_F(TenErrors, UnknownTruthIsLeftOutAndMissingEstimatesAreWrong) {
  truth->At(0, 9, 0) = kInf;     // the error of 8 is no longer evaluated
  truth->At(0, 8, 0) = kNaN;     // nor the error of 6
  estimate->At(0, 0, 0) = kNaN;  // the exact pixel has no estimate
  estimate->At(0, 1, 0) = -kInf;
  const Score score = ScoreDisparity(*estimate, *truth, nullptr, NoBorder());
  EXPECT_EQ(score.evaluatedPixels, 8);
  EXPECT_EQ(score.estimatedPixels, 6);
  EXPECT_DOUBLE_EQ(score.coverage, 75.0);
  // Errors 0.75 1 1.5 2 3 4 plus two missing ones.
  EXPECT_DOUBLE_EQ(score.bad0_5, 100.0);
  EXPECT_DOUBLE_EQ(score.bad1, 6 * 100.0 / 8);
  EXPECT_DOUBLE_EQ(score.bad4, 2 * 100.0 / 8);
  EXPECT_DOUBLE_EQ(score.mae, 12.25 / 6);
  EXPECT_EQ(score.a50, 1.5);  // rank 3 of 6
  EXPECT_EQ(score.a99, 4.0);
}

TEST(Scorer, QuantilesTakeTheNearestRank) {
  auto truth = Filled(100, 1, 0.0f);
  auto estimate = std::make_unique<FloatArray>(100, 1, 1);
  // Errors 1 .. 100, scattered: the quantile must not depend on the order.
  for (int c = 0; c < 100; ++c) estimate->At(0, c, 0) = -static_cast<float>((c * 37) % 100 + 1);
  const Score score = ScoreDisparity(*estimate, *truth, nullptr, NoBorder());
  EXPECT_EQ(score.a50, 50.0);
  EXPECT_EQ(score.a90, 90.0);
  EXPECT_EQ(score.a95, 95.0);
  EXPECT_EQ(score.a99, 99.0);

  auto one = Filled(1, 1, -2.5f);
  const Score single = ScoreDisparity(*one, *Filled(1, 1, 0.0f), nullptr, NoBorder());
  EXPECT_EQ(single.a50, 2.5);
  EXPECT_EQ(single.a99, 2.5);
}

TEST(Scorer, TheBorderLeavesOutTheEdgePixels) {
  // 5 x 4 pixels, exact inside a one-pixel frame, wrong by 10 on it.
  auto truth = Filled(5, 4, 3.0f);
  auto estimate = Filled(5, 4, -13.0f);
  for (int r = 1; r < 3; ++r) {
    for (int c = 1; c < 4; ++c) estimate->At(r, c, 0) = -3.0f;
  }
  ScoreParameters parameters;
  EXPECT_EQ(parameters.border, 10);
  parameters.border = 1;
  const Score inside = ScoreDisparity(*estimate, *truth, nullptr, parameters);
  EXPECT_EQ(inside.evaluatedPixels, 6);
  EXPECT_DOUBLE_EQ(inside.bad0_5, 0.0);
  parameters.border = 0;
  EXPECT_DOUBLE_EQ(ScoreDisparity(*estimate, *truth, nullptr, parameters).bad4, 14 * 100.0 / 20);

  parameters.border = 2;  // nothing is left
  const Score none = ScoreDisparity(*estimate, *truth, nullptr, parameters);
  EXPECT_EQ(none.evaluatedPixels, 0);
  EXPECT_TRUE(std::isnan(none.bad2));
  EXPECT_TRUE(std::isnan(none.mae));
  EXPECT_TRUE(std::isnan(none.a50));
  EXPECT_TRUE(std::isnan(none.coverage));
}

TEST(Scorer, OnlyPixelsHoldingTheMaskValueAreEvaluated) {
  // The benchmarks' levels: 255 evaluated, 128 occluded, 0 unknown.
  auto mask = Grid(3, 1, {255, 128, 0});
  auto truth = Grid(3, 1, {1, 1, 1});
  auto estimate = Grid(3, 1, {-1, -2, -4});  // errors 0, 1, 3
  ScoreParameters parameters = NoBorder();
  const Score visible = ScoreDisparity(*estimate, *truth, mask.get(), parameters);
  EXPECT_EQ(visible.evaluatedPixels, 1);
  EXPECT_DOUBLE_EQ(visible.bad0_5, 0.0);
  parameters.maskValue = 128;
  const Score occluded = ScoreDisparity(*estimate, *truth, mask.get(), parameters);
  EXPECT_EQ(occluded.evaluatedPixels, 1);
  EXPECT_EQ(occluded.mae, 1.0);
  parameters.maskValue = 0;
  EXPECT_EQ(ScoreDisparity(*estimate, *truth, mask.get(), parameters).mae, 3.0);
}

TEST(Scorer, RefusesMismatchedSizesAndANegativeBorder) {
  auto truth = Filled(4, 3, 1.0f);
  ScoreParameters parameters;
  EXPECT_THROW(ScoreDisparity(*Filled(3, 4, 1.0f), *truth, nullptr, parameters),
               std::invalid_argument);
  auto mask = Filled(4, 2, 255.0f);
  EXPECT_THROW(ScoreDisparity(*Filled(4, 3, 1.0f), *truth, mask.get(), parameters),
               std::invalid_argument);
  parameters.border = -1;
  EXPECT_THROW(ScoreDisparity(*Filled(4, 3, 1.0f), *truth, nullptr, parameters),
               std::invalid_argument);
}

// A grey PFM written byte by byte in the given order, rows bottom first.
void WriteHandMadePfm(const std::string& file, const char* scale, bool bigEndian,
                      const std::vector<float>& bottomFirst, int columns, int rows) {
  std::string bytes =
      "Pf\n" + std::to_string(columns) + " " + std::to_string(rows) + "\n" + scale + "\n";
  for (float v : bottomFirst) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(bits >> (8 * (bigEndian ? 3 - i : i)));
  }
  WriteText(file, bytes);
}

TEST(ScoreLoading, ReadsPfmsInEitherByteOrderAndRefusesColourOnes) {
  TempDir dir;
  const std::vector<float> bottomFirst = {4, 5, 6, 1, 2, kInf};
  WriteHandMadePfm(dir / "little.pfm", "-1.0", false, bottomFirst, 3, 2);
  WriteHandMadePfm(dir / "big.pfm", "1.0", true, bottomFirst, 3, 2);
  for (const char* name : {"little.pfm", "big.pfm"}) {
    const auto truth = LoadGroundTruth(dir / name);
    ASSERT_EQ(truth->columns(), 3);
    ASSERT_EQ(truth->rows(), 2);
    EXPECT_EQ(truth->At(0, 0, 0), 1.0f) << name;  // the top row comes last in the file
    EXPECT_EQ(truth->At(1, 2, 0), 6.0f) << name;
    EXPECT_EQ(truth->At(0, 2, 0), kInf) << name;
    EXPECT_EQ(LoadDisparityMap(dir / name)->At(1, 0, 0), 4.0f) << name;
  }
  WriteText(dir / "colour.pfm", "PF\n1 1\n-1.0\n" + std::string(12, '\0'));
  try {
    LoadDisparityMap(dir / "colour.pfm");
    ADD_FAILURE() << "a colour PFM was accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("colour PFM"), std::string::npos) << error.what();
  }
  WriteText(dir / "short.pfm", "Pf\n2 2\n-1.0\n" + std::string(12, '\0'));
  EXPECT_THROW(LoadGroundTruth(dir / "short.pfm"), std::runtime_error);
  EXPECT_THROW(LoadGroundTruth(dir / "missing.pfm"), std::runtime_error);
  WriteText(dir / "text.dis", "1 1\n0.0 0.0\n");
  EXPECT_THROW(LoadGroundTruth(dir / "text.dis"), std::runtime_error);
}

TEST(ScoreLoading, ReadsTheOutputFilesDisparities) {
  TempDir dir;
  WriteText(dir / "good.dis",
            "2 2\n-3.500000 0.010000\n-4.000000 0.020000\n"
            "nan 0.000000\n-inf 0.000000\n");
  const auto map = LoadDisparityMap(dir / "good.dis");
  ASSERT_EQ(map->columns(), 2);
  ASSERT_EQ(map->rows(), 2);
  EXPECT_EQ(map->At(0, 0, 0), -3.5f);
  EXPECT_EQ(map->At(0, 1, 0), -4.0f);
  EXPECT_TRUE(std::isnan(map->At(1, 0, 0)));
  EXPECT_EQ(map->At(1, 1, 0), -kInf);

  const std::pair<const char*, const char*> bad[] = {
      {"short.dis", "2 2\n1 0\n2 0\n3 0\n"}, {"long.dis", "1 1\n1 0\n2 0\n"},
      {"garbled.dis", "1 1\n1x 0\n"},        {"sizeless.dis", "-2 2\n"},
      {"huge.dis", "100000 100000\n1 0\n"},  {"empty.dis", ""}};
  for (const auto& [name, text] : bad) {
    WriteText(dir / name, text);
    EXPECT_THROW(LoadDisparityMap(dir / name), std::runtime_error) << name;
  }
}

TEST(ScoreLoading, ReadsMasksAsPgmAndPng) {
  TempDir dir;
  WriteText(dir / "mask.pgm", std::string("P5\n3 1\n255\n") + '\xff' + '\x80' + '\0');
  auto levels = Grid(3, 1, {255, 128, 0});
  const std::vector<std::uint8_t> encoded = EncodeGreyPng(*levels);
  ASSERT_FALSE(encoded.empty());
  WriteText(dir / "mask.png", std::string(encoded.begin(), encoded.end()));
  for (const char* name : {"mask.pgm", "mask.png"}) {
    const auto mask = LoadMask(dir / name);
    ASSERT_EQ(mask->columns(), 3) << name;
    EXPECT_EQ(mask->At(0, 0, 0), 255.0f) << name;
    EXPECT_EQ(mask->At(0, 1, 0), 128.0f) << name;
    EXPECT_EQ(mask->At(0, 2, 0), 0.0f) << name;
  }
  EXPECT_THROW(LoadMask(dir / "none.png"), std::runtime_error);
}

// A DispConf grid of 20 x 18 pixels with disparities -(r + c) / 4.
std::unique_ptr<FloatArray> DispConf() {
  auto dispConf = std::make_unique<FloatArray>(20, 18, 2);
  for (int r = 0; r < 18; ++r) {
    for (int c = 0; c < 20; ++c) {
      dispConf->At(r, c, 0) = -static_cast<float>(r + c) / 4;
      dispConf->At(r, c, 1) = 0.001f * static_cast<float>(c);
    }
  }
  return dispConf;
}

TEST(BenchmarkSign, NegatesTheInteriorAndMarksTheFrameUnknown) {
  const auto dispConf = DispConf();
  dispConf->At(8, 8, 0) = 0.0f;
  const auto positive = BenchmarkSignDisparity(*dispConf);
  ASSERT_EQ(positive->bands(), 1);
  for (int r = 0; r < 18; ++r) {
    for (int c = 0; c < 20; ++c) {
      const bool frame = r < 8 || r >= 10 || c < 8 || c >= 12;
      if (frame) {
        EXPECT_EQ(positive->At(r, c, 0), kInf) << r << ", " << c;
      } else {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(positive->At(r, c, 0)),
                  std::bit_cast<std::uint32_t>(0.0f - dispConf->At(r, c, 0)))
            << r << ", " << c;
      }
    }
  }
  EXPECT_FALSE(std::signbit(positive->At(8, 8, 0)));
}

TEST(BenchmarkSign, BothSignsSurviveAPfmRoundTripAndScoreAlike) {
  TempDir dir;
  const auto dispConf = DispConf();
  ASSERT_TRUE(WritePfm(*dispConf, 0, dir / "own.pfm"));
  ASSERT_TRUE(WritePfm(*BenchmarkSignDisparity(*dispConf), 0, dir / "positive.pfm"));
  const auto own = LoadDisparityMap(dir / "own.pfm");
  const auto positive = LoadDisparityMap(dir / "positive.pfm");
  for (int r = 0; r < 18; ++r) {
    for (int c = 0; c < 20; ++c) {
      EXPECT_EQ(own->At(r, c, 0), dispConf->At(r, c, 0));
      const bool interior = r >= 8 && r < 10 && c >= 8 && c < 12;
      EXPECT_EQ(positive->At(r, c, 0), interior ? -dispConf->At(r, c, 0) : kInf);
    }
  }
  // A truth half a pixel off everywhere: both exports score the same in the
  // interior, and the positive one's frame counts as missing.
  auto truth = std::make_unique<FloatArray>(20, 18, 1);
  for (int r = 0; r < 18; ++r) {
    for (int c = 0; c < 20; ++c) truth->At(r, c, 0) = static_cast<float>(r + c) / 4 + 0.75f;
  }
  ScoreParameters parameters;
  parameters.border = 8;
  const Score ownScore = ScoreDisparity(*own, *truth, nullptr, parameters);
  parameters.sameSign = true;
  const Score positiveScore = ScoreDisparity(*positive, *truth, nullptr, parameters);
  EXPECT_EQ(ownScore.evaluatedPixels, 8);
  EXPECT_EQ(positiveScore.evaluatedPixels, 8);
  EXPECT_DOUBLE_EQ(ownScore.bad0_5, 100.0);
  EXPECT_DOUBLE_EQ(positiveScore.bad0_5, 100.0);
  EXPECT_EQ(ownScore.mae, positiveScore.mae);
  parameters.border = 0;
  const Score whole = ScoreDisparity(*positive, *truth, nullptr, parameters);
  EXPECT_DOUBLE_EQ(whole.coverage, 8 * 100.0 / 360);
  EXPECT_DOUBLE_EQ(whole.bad4, (360 - 8) * 100.0 / 360);
}

}  // namespace
}  // namespace tavrel
