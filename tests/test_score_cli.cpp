// Runs the built tavrel-score program on hand-made maps.

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "batch_test_support.h"
#include "evaluation/scorer.h"
#include "files/pfm_writing.h"

namespace tavrel {
namespace {

using testing::ReadText;
using testing::TempDir;
using testing::WriteText;

using Result = testing::ProgramResult;

Result RunScore(const TempDir& dir, const std::string& arguments) {
  return testing::RunProgram(dir, dir.path.string(), TAVREL_SCORE_BINARY, arguments);
}

// A 30 x 24 result in the program's sign, with errors of c / 10 at column c,
// a ground truth of 5 with an unknown patch, and a mask of the benchmarks'
// levels: 255 on the left half, 128 on the right.
struct ScoreCli : ::testing::Test {
  void SetUp() override {
    std::string output = "30 24\n";
    FloatArray truth(30, 24, 1);
    FloatArray mask(30, 24, 1);
    for (int r = 0; r < 24; ++r) {
      for (int c = 0; c < 30; ++c) {
        output += std::to_string(-5.0 - c / 10.0) + " 0.000000\n";
        truth.At(r, c, 0) = r == 12 && c == 12 ? std::numeric_limits<float>::infinity() : 5.0f;
        mask.At(r, c, 0) = c < 15 ? 255.0f : 128.0f;
      }
    }
    WriteText(dir / "result.dis", output);
    ASSERT_TRUE(WritePfm(truth, 0, dir / "truth.pfm"));
    // The mask as a binary PGM.
    std::string pgm = "P5\n30 24\n255\n";
    for (int r = 0; r < 24; ++r) {
      for (int c = 0; c < 30; ++c) pgm += static_cast<char>(mask.At(r, c, 0));
    }
    WriteText(dir / "mask.pgm", pgm);
  }
  Score LibraryScore(const ScoreParameters& parameters, bool masked) {
    const auto mask = masked ? LoadMask(dir / "mask.pgm") : nullptr;
    return ScoreDisparity(*LoadDisparityMap(dir / "result.dis"),
                          *LoadGroundTruth(dir / "truth.pfm"), mask.get(), parameters);
  }
  TempDir dir;
};

void ExpectSameFigures(const nlohmann::json& json, const Score& score) {
  EXPECT_EQ(json.at("bad0.5").get<double>(), score.bad0_5);
  EXPECT_EQ(json.at("bad1").get<double>(), score.bad1);
  EXPECT_EQ(json.at("bad2").get<double>(), score.bad2);
  EXPECT_EQ(json.at("bad4").get<double>(), score.bad4);
  EXPECT_EQ(json.at("mae").get<double>(), score.mae);
  EXPECT_EQ(json.at("rms").get<double>(), score.rms);
  EXPECT_EQ(json.at("a50").get<double>(), score.a50);
  EXPECT_EQ(json.at("a90").get<double>(), score.a90);
  EXPECT_EQ(json.at("a95").get<double>(), score.a95);
  EXPECT_EQ(json.at("a99").get<double>(), score.a99);
  EXPECT_EQ(json.at("coverage").get<double>(), score.coverage);
  EXPECT_EQ(json.at("pixels").get<std::int64_t>(), score.evaluatedPixels);
}

TEST_F(ScoreCli, JsonCarriesTheLibrarysFiguresForEachOption) {
  ScoreParameters parameters;
  const Result plain = RunScore(dir, "--json result.dis truth.pfm");
  ASSERT_EQ(plain.status, 0) << plain.err;
  ExpectSameFigures(nlohmann::json::parse(plain.out), LibraryScore(parameters, false));
  EXPECT_EQ(LibraryScore(parameters, false).evaluatedPixels, 10 * 4 - 1);

  parameters.border = 2;
  parameters.maskValue = 128;
  const Result masked =
      RunScore(dir, "result.dis truth.pfm --json --border 2 --mask mask.pgm --mask-value 128");
  ASSERT_EQ(masked.status, 0) << masked.err;
  ExpectSameFigures(nlohmann::json::parse(masked.out), LibraryScore(parameters, true));

  parameters.sameSign = true;
  const Result same = RunScore(
      dir, "result.dis truth.pfm --json --same-sign --border=2 --mask mask.pgm --mask-value 128");
  ASSERT_EQ(same.status, 0) << same.err;
  const nlohmann::json json = nlohmann::json::parse(same.out);
  ExpectSameFigures(json, LibraryScore(parameters, true));
  EXPECT_EQ(json.at("bad4").get<double>(), 100.0);
}

TEST_F(ScoreCli, TheDefaultOutputKeepsItsFirstLine) {
  const Result run = RunScore(dir, "result.dis truth.pfm --mask mask.pgm");
  ASSERT_EQ(run.status, 0) << run.err;
  // Columns 10 .. 14 pass the mask, errors 1.0 .. 1.4; one of them unknown.
  EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
            "19 pixels:  bad 0.5 = 100.00 %  bad 1.0 = 78.95 %  bad 2.0 = 0.00 %"
            "  bad 4.0 = 0.00 %");
  EXPECT_NE(run.out.find("\nmae = 1.2"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("coverage = 100.00 %\n"), std::string::npos) << run.out;
}

TEST_F(ScoreCli, FiguresWithoutAValueAreJsonNulls) {
  FloatArray none(30, 24, 1);
  none.Fill(std::numeric_limits<float>::infinity());
  ASSERT_TRUE(WritePfm(none, 0, dir / "none.pfm"));
  const Result run = RunScore(dir, "none.pfm truth.pfm --json");
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json json = nlohmann::json::parse(run.out);
  EXPECT_EQ(json.at("bad0.5").get<double>(), 100.0);
  EXPECT_EQ(json.at("coverage").get<double>(), 0.0);
  for (const char* key : {"mae", "rms", "a50", "a99"}) EXPECT_TRUE(json.at(key).is_null()) << key;
}

TEST_F(ScoreCli, NotesAResultThatSeemsToHaveTheOtherSign) {
  const Result right = RunScore(dir, "result.dis truth.pfm");
  EXPECT_EQ(right.err, "");
  const Result wrong = RunScore(dir, "result.dis truth.pfm --same-sign");
  EXPECT_EQ(wrong.status, 0);
  EXPECT_NE(wrong.out.find("bad 4.0 = 100.00 %"), std::string::npos) << wrong.out;
  EXPECT_EQ(wrong.err,
            "tavrel-score: nearly every pixel is wrong, and far fewer would be without "
            "--same-sign\n");
}

TEST_F(ScoreCli, AnswersHelpAndRefusesWhatItCannotUse) {
  const Result help = RunScore(dir, "--help");
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--mask-value", "--same-sign", "--border", "--json"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  const struct {
    const char* arguments;
    const char* message;
  } refusals[] = {
      {"result.dis", "tavrel-score: GROUND_TRUTH is required"},
      {"result.dis truth.pfm --border -1", "tavrel-score: --border"},
      {"result.dis truth.pfm --mask-value 256", "tavrel-score: --mask-value"},
      {"missing.dis truth.pfm", "tavrel-score: cannot open missing.dis"},
      {"result.dis result.dis", "tavrel-score: result.dis is not a PFM file"},
      {"result.dis truth.pfm --mask nothing.png", "tavrel-score: cannot read the mask"},
      {"result.dis truth.pfm --border 12", "tavrel-score: no pixel to compare"},
  };
  for (const auto& refusal : refusals) {
    const Result run = RunScore(dir, refusal.arguments);
    EXPECT_EQ(run.status, 1) << refusal.arguments;
    EXPECT_EQ(run.err.rfind(refusal.message, 0), 0u) << refusal.arguments << ": " << run.err;
    EXPECT_EQ(run.out, "") << refusal.arguments;
  }
}

}  // namespace
}  // namespace tavrel
