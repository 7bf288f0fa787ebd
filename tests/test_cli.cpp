// Runs the built tavrel-batch program on fresh temporary folders.

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "batch_test_support.h"
#include "engine/isa_path.h"
#include "files/usage_text.h"
#include "imageio/image_loading.h"
#include "imageio/pfm_file.h"

namespace tavrel {
namespace {

using testing::Entry;
using testing::ReadText;
using testing::TempDir;
using testing::WriteShiftedPair;
using testing::WriteText;

using Result = testing::ProgramResult;

Result RunBatch(const TempDir& dir, const std::string& folder, const std::string& arguments,
                const std::string& input = "/dev/null") {
  return testing::RunProgram(dir, folder, TAVREL_BATCH_BINARY, arguments, input);
}

// Runs the program in `folder` with a pseudo-terminal as its standard output
// and error, as from an interactive shell; gives what it wrote there.
Result RunOnTerminal(const std::string& folder, std::vector<std::string> arguments) {
  std::string program = TAVREL_BATCH_BINARY;
  std::vector<char*> argv = {program.data()};
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  Result result;
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (child < 0) return result;
  if (child == 0) {
    if (chdir(folder.c_str()) == 0) execv(argv[0], argv.data());
    _exit(127);
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n > 0) {
      result.err.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO once the program has exited and closed its side
    }
  }
  close(terminal);
  int raw = 0;
  waitpid(child, &raw, 0);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

// Each redraw of the progress bar ("\r\033[K[###.....] entry ...: stage (t s)"):
// the stage and the number of filled places of the bar.
std::vector<std::pair<std::string, int>> BarRedraws(const std::string& text) {
  std::vector<std::pair<std::string, int>> redraws;
  const std::string start = "\r\033[K[";
  for (std::size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1)) {
    const std::size_t open = at + start.size() - 1;
    const std::size_t close = text.find(']', open);
    const std::size_t stage = text.find(": ", close);
    const std::size_t end = text.find(" (", stage);
    if (close == std::string::npos || end == std::string::npos) break;
    const std::string bar = text.substr(open + 1, close - open - 1);
    if (bar.size() != 24 || bar.find_first_not_of("#.") != std::string::npos) continue;
    redraws.emplace_back(text.substr(stage + 2, end - stage - 2),
                         static_cast<int>(std::count(bar.begin(), bar.end(), '#')));
  }
  return redraws;
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

  // Without -q, an entry that ran but could not write its file (a folder
  // holds its name) ends with a line that says so, not as done.
  std::filesystem::create_directory(dir / "scene/taken.dis");
  WriteText(dir / "scene/told.cpd",
            Entry("l.bmp", "r.bmp", "taken.dis", 1) + Entry("l.bmp", "r.bmp", "kept.dis", 1));
  const Result told = RunBatch(dir, dir / "scene", "told.cpd");
  EXPECT_EQ(told.status, 2);
  EXPECT_NE(told.err.find("entry 1 ended in "), std::string::npos) << told.err;
  EXPECT_NE(told.err.find(" without its output file: " + (dir / "scene/taken.dis")),
            std::string::npos)
      << told.err;
  EXPECT_EQ(told.err.find("entry 1 done in "), std::string::npos) << told.err;
  EXPECT_NE(told.err.find("entry 2 done in "), std::string::npos) << told.err;
}

// An entry of two iterations has six steps: loading, L0, the two iterations,
// extraction and writing. Each redraw shows the steps before its stage as
// done, four places of the 24 for each.
TEST_F(Cli, OnATerminalTheBarFillsByTheStepsDone) {
  WriteText(dir / "scene/job.cpd", Entry("l.bmp", "r.bmp", "result.dis", 2));
  const Result run = RunOnTerminal(dir / "scene", {"job.cpd"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::pair<std::string, int>> expected = {
      {"loading images", 0},    {"L0", 4},          {"iteration 1 of 2", 8},
      {"iteration 2 of 2", 12}, {"extraction", 16}, {"writing", 20}};
  EXPECT_EQ(BarRedraws(run.err), expected) << run.err;
  EXPECT_NE(run.err.find("entry 1 done in "), std::string::npos) << run.err;
}

// A usage text that cannot be written is a result lost, as for any other file.
TEST_F(Cli, AReadmeThatCannotBeWrittenGivesStatusTwo) {
  std::filesystem::create_directory(dir / "README.txt");
  const Result run = RunBatch(dir, dir.path.string(), "--write-readme");
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("README.txt"), std::string::npos) << run.err;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "README.txt"));
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
