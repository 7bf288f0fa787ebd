// Runs the built tavrel-batch program on fresh temporary folders.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>

#include "batch_test_support.h"
#include "display/image_loading.h"
#include "engine/isa_path.h"
#include "files/pfm_file.h"
#include "files/usage_text.h"

namespace tavrel {
namespace {

using testing::Entry;
using testing::ReadText;
using testing::TempDir;
using testing::WriteShiftedPair;
using testing::WriteText;

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs the program with `arguments` (already quoted for the shell) in `folder`,
// standard input read from `input`.
Result RunBatch(const TempDir& dir, const std::string& folder, const std::string& arguments,
                const std::string& input = "/dev/null") {
  const std::string command = "cd '" + folder + "' && '" TAVREL_BATCH_BINARY "' " + arguments +
                              " >'" + (dir / "stdout.txt") + "' 2>'" + (dir / "stderr.txt") +
                              "' <'" + input + "'";
  const int raw = std::system(command.c_str());
  Result result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = ReadText(dir / "stdout.txt");
  result.err = ReadText(dir / "stderr.txt");
  return result;
}

struct Cli : ::testing::Test {
  void SetUp() override {
    std::filesystem::create_directories(dir.path / "scene");
    WriteShiftedPair(dir / "scene/l.bmp", dir / "scene/r.bmp", 40, 32, 3);
  }
  TempDir dir;
};

TEST_F(Cli, SuccessWritesTheOutputAndTheRequestedPictures) {
  WriteText(dir / "scene/job.cpd", Entry("l.bmp", "r.bmp", "result.dis"));
  // Run from another folder: names still resolve against the file's folder.
  const Result run = RunBatch(dir, dir.path.string(), "--png --pfm scene/job.cpd");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("entry 1 of 1"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("iteration 2 of 2"), std::string::npos) << run.err;
  const std::string output = ReadText(dir / "scene/result.dis");
  EXPECT_EQ(output.substr(0, output.find('\n')), "40 32");
  for (const char* picture : {"scene/result.disparity.png", "scene/result.confidence.png"}) {
    const Surface surface = LoadImageSurface(dir / picture);
    EXPECT_EQ(surface.width, 40);
    EXPECT_EQ(surface.height, 32);
  }
  const auto pfm = ReadPfm(dir / "scene/result.pfm");
  ASSERT_NE(pfm, nullptr);
  EXPECT_EQ(pfm->columns(), 40);
  // Row 0 of the PFM grid is the top row: pixel (0, 0) is the output's first value.
  const std::string firstPixel = output.substr(output.find('\n') + 1);
  EXPECT_FLOAT_EQ(pfm->At(0, 0, 0), std::stof(firstPixel));
}

TEST_F(Cli, ExportsTheDisparityInEitherSignAndTheConfidence) {
  WriteText(dir / "scene/own.cpd", Entry("l.bmp", "r.bmp", "own.dis"));
  WriteText(dir / "scene/job.cpd", Entry("l.bmp", "r.bmp", "positive.dis"));
  ASSERT_EQ(RunBatch(dir, dir / "scene", "-q --pfm --confidence-pfm own.cpd").status, 0);
  const Result run = RunBatch(dir, dir / "scene", "-q --pfm --sign positive job.cpd");
  ASSERT_EQ(run.status, 0) << run.err;
  const auto own = ReadPfm(dir / "scene/own.pfm");
  const auto confidence = ReadPfm(dir / "scene/own.confidence.pfm");
  const auto positive = ReadPfm(dir / "scene/positive.pfm");
  ASSERT_TRUE(own && confidence && positive);
  EXPECT_FALSE(std::filesystem::exists(dir / "scene/positive.confidence.pfm"));
  // The output file's text has six decimals; the PFMs hold the floats.
  std::istringstream output(ReadText(dir / "scene/own.dis"));
  int columns = 0, rows = 0;
  output >> columns >> rows;
  ASSERT_EQ(positive->columns(), columns);
  ASSERT_EQ(positive->rows(), rows);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      float disparity = 0, conf = 0;
      output >> disparity >> conf;
      EXPECT_NEAR(confidence->At(r, c, 0), conf, 1e-6);
      const bool frame = r < 8 || r >= rows - 8 || c < 8 || c >= columns - 8;
      if (frame) {
        EXPECT_EQ(positive->At(r, c, 0), std::numeric_limits<float>::infinity());
      } else {
        EXPECT_EQ(positive->At(r, c, 0), 0.0f - own->At(r, c, 0)) << r << ", " << c;
      }
    }
  }

  for (const char* arguments :
       {"--pfm --sign negative job.cpd", "--sign positive job.cpd", "--pfm job.cpd --sign"}) {
    const Result refused = RunBatch(dir, dir / "scene", arguments);
    EXPECT_EQ(refused.status, 1) << arguments;
    EXPECT_EQ(refused.err.rfind("tavrel-batch: ", 0), 0u) << refused.err;
    EXPECT_NE(refused.err.find("--sign"), std::string::npos) << refused.err;
  }
}

TEST_F(Cli, AFatalErrorStopsWithStatusOne) {
  WriteText(dir / "scene/job.cpd", Entry("l.bmp", "r.bmp", "first.dis", 1) +
                                       Entry("l.bmp", "r.bmp", "second.dis").substr(0, 40));
  const Result bad = RunBatch(dir, dir / "scene", "-q job.cpd job.cpd");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "tavrel-batch: in.dat :: Can't Read MaxDisparity\n"
            "job.cpd, entry 2, line 13: found \"MaxDispar\"\n");
  EXPECT_TRUE(std::filesystem::exists(dir / "scene/first.dis"));

  // An image refusal gives its reason on a line of its own.
  WriteText(dir / "scene/cut.bmp", ReadText(dir / "scene/l.bmp").substr(0, 2000));
  WriteText(dir / "scene/cut.cpd", Entry("cut.bmp", "r.bmp", "cut.dis", 1));
  const Result cut = RunBatch(dir, dir / "scene", "-q cut.cpd");
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.err,
            "tavrel-batch: Couldn't open image - cut.bmp\n"
            "truncated: the pixel data needs bytes up to 3894, the file holds 2000\n");

  const Result option = RunBatch(dir, dir / "scene", "--fast job.cpd");
  EXPECT_EQ(option.status, 1);
  EXPECT_NE(option.err.find("unknown option '--fast'"), std::string::npos);
  EXPECT_EQ(RunBatch(dir, dir / "scene", "").status, 1);
}

// Quiet runs say nothing.
TEST_F(Cli, ADirectionsFileFromAPipeTakesItsNamesFromTheCurrentFolder) {
  WriteText(dir / "piped.cpd", Entry("l.bmp", "r.bmp", "piped.dis", 1));
  const Result run = RunBatch(dir, dir / "scene", "--quiet /dev/stdin", dir / "piped.cpd");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(std::filesystem::exists(dir / "scene/piped.dis"));
}

TEST_F(Cli, ALostResultGivesStatusTwoAfterTheOtherEntries) {
  WriteText(dir / "scene/job.cpd", Entry("l.bmp", "r.bmp", "missing/lost.dis", 1) +
                                       Entry("l.bmp", "r.bmp", "kept.dis", 1));
  const Result run = RunBatch(dir, dir / "scene", "-q --png job.cpd");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("could not write " + (dir / "scene/missing/lost.dis")), std::string::npos)
      << run.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "scene/kept.dis"));
  EXPECT_TRUE(std::filesystem::exists(dir / "scene/kept.disparity.png"));
}

// TAVREL_ISA picks the engine's instruction set: every path the processor
// runs writes the same bytes, and a name it cannot use stops the program
// before any entry runs.
TEST_F(Cli, EveryInstructionSetPathWritesTheSameFileAndABadOneIsAUsageError) {
  WriteText(dir / "scene/job.cpd", Entry("l.bmp", "r.bmp", "result.dis"));
  std::string first;
  for (IsaPath path : AvailableIsaPaths()) {
    setenv("TAVREL_ISA", IsaPathName(path), 1);
    const Result run = RunBatch(dir, dir / "scene", "-q job.cpd");
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string output = ReadText(dir / "scene/result.dis");
    if (first.empty()) first = output;
    EXPECT_EQ(output, first) << IsaPathName(path);
  }
  std::filesystem::remove(dir / "scene/result.dis");
  setenv("TAVREL_ISA", "avx9", 1);
  const Result bad = RunBatch(dir, dir / "scene", "-q job.cpd");
  unsetenv("TAVREL_ISA");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err.rfind("tavrel-batch: TAVREL_ISA=avx9: no such instruction-set path\n"
                          "supported paths: ",
                          0),
            0u)
      << bad.err;
  EXPECT_NE(bad.err.find("baseline"), std::string::npos) << bad.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "scene/result.dis"));
}

TEST_F(Cli, WritesTheReadmeIntoTheCurrentFolderAndAnswersHelpAndVersion) {
  const Result readme = RunBatch(dir, dir.path.string(), "--write-readme");
  EXPECT_EQ(readme.status, 0) << readme.err;
  EXPECT_EQ(ReadText(dir / "README.txt"), UsageText());

  const Result help = RunBatch(dir, dir.path.string(), "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: tavrel-batch", 0), 0u) << help.out;
  const Result version = RunBatch(dir, dir.path.string(), "--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("tavrel-batch ", 0), 0u) << version.out;
}

}  // namespace
}  // namespace tavrel
