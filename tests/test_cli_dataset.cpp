// Runs the built tavrel-batch program as a dataset run would: selected
// entries, failures passed over, plans, resumed runs, and messages that say
// where.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "batch_test_support.h"

namespace tavrel {
namespace {

using testing::Entry;
using testing::ReadText;
using testing::TempDir;
using testing::WriteShiftedPair;
using testing::WriteText;

namespace fs = std::filesystem;

using Result = testing::ProgramResult;

Result RunBatch(const TempDir& dir, const std::string& arguments,
                const std::string& input = "/dev/null") {
  return testing::RunProgram(dir, dir / "scene", TAVREL_BATCH_BINARY, arguments, input);
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Two files of three and two entries, each entry writing out<N>.dis.
struct Dataset : ::testing::Test {
  void SetUp() override {
    fs::create_directories(dir.path / "scene");
    WriteShiftedPair(dir / "scene/l.bmp", dir / "scene/r.bmp", 40, 32, 3);
    WriteText(dir / "scene/a.cpd", Entry("l.bmp", "r.bmp", "out1.dis") +
                                       Entry("l.bmp", "r.bmp", "out2.dis", 1) +
                                       Entry("l.bmp", "r.bmp", "out3.dis", 3));
    WriteText(dir / "scene/b.cpd", Entry("l.bmp", "r.bmp", "out4.dis", 0) +
                                       Entry("l.bmp", "r.bmp", "out5.dis", 2, 1, -6, 2));
  }
  std::vector<bool> Written() const {
    std::vector<bool> written;
    for (int n = 1; n <= 5; ++n) {
      written.push_back(fs::exists(dir.path / "scene" / ("out" + std::to_string(n) + ".dis")));
    }
    return written;
  }
  std::string Output(int n) const {
    return ReadText(dir / ("scene/out" + std::to_string(n) + ".dis"));
  }
  TempDir dir;
};

TEST_F(Dataset, SelectedEntriesAreNumberedAcrossFilesAndMatchAFullRun) {
  ASSERT_EQ(RunBatch(dir, "-q a.cpd b.cpd").status, 0);
  std::vector<std::string> full;
  for (int n = 1; n <= 5; ++n) full.push_back(Output(n));
  for (int n = 1; n <= 5; ++n)
    fs::remove(dir.path / "scene" / ("out" + std::to_string(n) + ".dis"));

  Result run = RunBatch(dir, "--entries 2-5 --shard 1/2 a.cpd b.cpd");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Written(), (std::vector<bool>{false, true, false, true, false}));
  EXPECT_EQ(Output(2), full[1]);
  EXPECT_EQ(Output(4), full[3]);
  EXPECT_TRUE(Has(run.err, "entry 4 of 5")) << run.err;

  run = RunBatch(dir, "-q --shard 2/2 a.cpd");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run.err, "--shard")) << run.err;
}

TEST_F(Dataset, KeepGoingSkipsEachKindOfFailureAndSaysSoAtTheEnd) {
  // Entry 2's image is missing, entry 3's range is refused, entry 5's
  // folder is missing: outputs lost, not inputs.
  WriteText(dir / "scene/a.cpd", Entry("l.bmp", "r.bmp", "out1.dis") +
                                     Entry("gone.bmp", "r.bmp", "out2.dis") +
                                     Entry("l.bmp", "r.bmp", "out3.dis", 2, 1, 4, 4));
  WriteText(dir / "scene/b.cpd",
            Entry("l.bmp", "r.bmp", "out4.dis") + Entry("l.bmp", "r.bmp", "no/out5.dis"));
  Result run = RunBatch(dir, "-q --keep-going a.cpd b.cpd");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(Written(), (std::vector<bool>{true, false, false, true, false}));
  EXPECT_TRUE(Has(run.err,
                  "2 entries failed:\n  entry 2: Couldn't open image - gone.bmp\n"
                  "  entry 3: "))
      << run.err;

  // Without an input failure, a lost output alone gives 2.
  run = RunBatch(dir, "-q --keep-going b.cpd");
  EXPECT_EQ(run.status, 2) << run.err;

  // Without --keep-going the run stops at entry 2.
  fs::remove(dir.path / "scene/out4.dis");
  run = RunBatch(dir, "-q a.cpd b.cpd");
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(fs::exists(dir.path / "scene/out4.dis"));

  // A file that cannot be read stops even a run that keeps going.
  WriteText(dir / "scene/a.cpd", Entry("l.bmp", "r.bmp", "out1.dis") + "l.bmp r.bmp 1\nMinDisp");
  run = RunBatch(dir, "-q --keep-going a.cpd b.cpd");
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(fs::exists(dir.path / "scene/out4.dis"));
}

TEST_F(Dataset, PlanComputesNothingAndListsEachSelectedEntry) {
  fs::create_directories(dir.path / "ro");
  fs::permissions(dir.path / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  Result run = RunBatch(dir, "--plan --entries 1,5 a.cpd b.cpd");
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  EXPECT_TRUE(lines[0].starts_with("1\tl.bmp r.bmp\t40x32\t12\t")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("\twritable")) << lines[0];
  EXPECT_TRUE(lines[1].starts_with("5\tl.bmp r.bmp\t40x32\t8\t")) << lines[1];
  const auto bytes = [](const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
    return std::stoull(fields.at(4));
  };
  EXPECT_GT(bytes(lines[0]), bytes(lines[1]));
  EXPECT_EQ(lines[2], "peak " + std::to_string(bytes(lines[0])));
  EXPECT_EQ(Written(), (std::vector<bool>(5, false)));

  // An entry that can never run: its images are missing, or its folder
  // cannot be written (root writes anywhere, so only a missing one counts).
  WriteText(dir / "scene/c.cpd",
            Entry("gone.bmp", "r.bmp", "x.dis") + Entry("l.bmp", "r.bmp", "../none/x.dis"));
  run = RunBatch(dir, "--plan c.cpd");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run.out, "not writable")) << run.out;
  EXPECT_TRUE(Has(run.err, "Couldn't open image - gone.bmp")) << run.err;
}

TEST_F(Dataset, SkipExistingRunsOnlyWhatIsMissing) {
  WriteText(dir / "scene/out2.dis", "kept");
  const Result run = RunBatch(dir, "--skip-existing a.cpd");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Output(2), "kept");
  EXPECT_TRUE(fs::exists(dir.path / "scene/out1.dis"));
  EXPECT_TRUE(fs::exists(dir.path / "scene/out3.dis"));
  EXPECT_FALSE(Has(run.err, "entry 2 of")) << run.err;
}

TEST_F(Dataset, OutputDirStandardInputAndThreads) {
  fs::create_directories(dir.path / "results");
  WriteText(dir / "scene/c.cpd", Entry("l.bmp", "r.bmp", "one.dis"));
  const Result run = RunBatch(dir, "--threads 2 --output-dir ../results -", (dir / "scene/c.cpd"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::exists(dir.path / "results/one.dis"));
  EXPECT_FALSE(fs::exists(dir.path / "scene/one.dis"));
  // The header names the version, the vector path and the threads.
  EXPECT_TRUE(Has(run.err, "vector path ")) << run.err;
  EXPECT_TRUE(Has(run.err, ", 2 threads\n")) << run.err;
  EXPECT_EQ(RunBatch(dir, "--threads 0 c.cpd").status, 1);
}

TEST_F(Dataset, ReaderMessagesKeepTheirFirstLineAndSayWhere) {
  struct Case {
    std::string text;
    std::string first;
    std::string where;
  };
  const std::string head = "l.bmp r.bmp 1\nMinDisparity -8\n";
  const std::vector<Case> cases = {
      {head + "MaxDisparty 4\n", "Can't Read MaxDisparity",
       "b.cpd, entry 4, line 3: found \"MaxDisparty\""},
      {head + "MaxDisparity 4\nWinRadL0 1\nWinRadRC 2.5\nWinRadD 1\n", "Can't Read WinRadD",
       "b.cpd, entry 4, line 5: WinRadRC was read as 2 and left .5"},
      {head + "MaxDisparity " + std::string(5000, '7') + "\n", "Can't Read MaxDisparity",
       "b.cpd, entry 4, line 3: found \""},
  };
  for (const Case& c : cases) {
    WriteText(dir / "scene/b.cpd", c.text);
    const Result run = RunBatch(dir, "-q a.cpd b.cpd");
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = Lines(run.err);
    ASSERT_GE(lines.size(), 2u) << run.err;
    EXPECT_TRUE(lines[0].starts_with("tavrel-batch: ") && lines[0].ends_with(c.first)) << run.err;
    EXPECT_TRUE(lines[1].starts_with(c.where)) << run.err;
  }
  // The reason of an over-long field follows the place.
  const std::vector<std::string> lines = Lines(RunBatch(dir, "-q a.cpd b.cpd").err);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_TRUE(Has(lines[2], "longer than")) << lines[2];
}

TEST_F(Dataset, ARangeOfTheWrongSignIsWarnedOfUnlessQuiet) {
  // A texture smooth along the rows, as real scenes mostly are, so that a
  // range without the true disparity (-10) takes the shifts nearest it.
  const auto smooth = [](int r, int c) {
    int sum = 0;
    for (int k = 0; k < 17; ++k) sum += testing::Texture(r, c + k);
    return sum / 17;
  };
  testing::WriteGreyBmp(dir / "scene/l.bmp", 96, 40, smooth);
  testing::WriteGreyBmp(dir / "scene/r.bmp", 96, 40,
                        [&](int r, int c) { return smooth(r, c + 10); });
  WriteText(dir / "scene/c.cpd", Entry("l.bmp", "r.bmp", "right.dis", 10, 1, -22, 0));
  WriteText(dir / "scene/w.cpd", Entry("l.bmp", "r.bmp", "wrong.dis", 10, 1, 0, 22));
  Result run = RunBatch(dir, "c.cpd");
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(Has(run.err, "warning:")) << run.err;
  run = RunBatch(dir, "w.cpd");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Has(run.err,
                  "tavrel-batch: warning: most disparities lie at the ends of the "
                  "range; is its sign right?"))
      << run.err;
  EXPECT_TRUE(Has(run.err, "\nentry 1: l.bmp r.bmp -> wrong.dis\n")) << run.err;
  EXPECT_FALSE(Has(RunBatch(dir, "-q w.cpd").err, "warning:"));
}

}  // namespace
}  // namespace tavrel
