#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "batch_test_support.h"
#include "files/atomic_file.h"
#include "files/batch_run.h"
#include "imageio/image_loading.h"
#include "imageio/pfm_file.h"

namespace tavrel {
namespace {

using testing::Entry;
using testing::ReadText;
using testing::TempDir;
using testing::WriteShiftedPair;
using testing::WriteText;

// Records what the batch run tells its host; images come from the files.
struct RecordingHost : BatchHost {
  std::unique_ptr<FloatArray> LoadImage(int which, const std::string& path, int bands) override {
    loaded.push_back(std::to_string(which) + ":" + path);
    return LoadImageGrid(path, bands);
  }
  void EntryLoaded(const StereoJob& job, const FloatArray&) override {
    events.push_back("loaded " + job.Image0Name);
  }
  void Progress(const BatchProgress& progress) override {
    entries = progress.entries;
    if (progress.stage == BatchStage::Iteration) ++iterations;
  }
  void EntryDone(const StereoJob&, const StereoMatcher&, const std::string& caption) override {
    events.push_back(caption);
  }
  void OutputNotWritten(const std::string&) override {}
  void FatalError(const std::string& message) override { fatal.push_back(message); }

  std::vector<std::string> loaded, events, fatal;
  int entries = 0;
  int iterations = 0;
};

struct BatchRun : ::testing::Test {
  bool Run(const std::string& directions) {
    return ProcessDirectionsFile(directions, matcher, images, host);
  }
  std::string Fatal() const { return host.fatal.empty() ? "" : host.fatal.back(); }

  TempDir dir;
  StereoMatcher matcher;
  EntryImages images;
  RecordingHost host;
};

TEST_F(BatchRun, RunsEveryEntryAndWritesEachOutputFile) {
  WriteShiftedPair(dir / "a0.bmp", dir / "a1.bmp", 40, 32, 3);
  WriteText(dir / "in.cpd", Entry("a0.bmp", "a1.bmp", "first.dis", 3) +
                                Entry("a1.bmp", "a0.bmp", "second.dis", 2) + "\n \n");
  ASSERT_TRUE(Run(dir / "in.cpd")) << Fatal();
  EXPECT_TRUE(host.fatal.empty());
  EXPECT_EQ(host.events, (std::vector<std::string>{"loaded a0.bmp", "Disparity 3", "loaded a1.bmp",
                                                   "Disparity 2"}));
  EXPECT_EQ(host.entries, 2);
  EXPECT_EQ(host.iterations, 5);
  const std::string first = ReadText(dir / "first.dis");
  EXPECT_EQ(first.substr(0, first.find('\n')), "40 32");
  EXPECT_TRUE(std::filesystem::exists(dir / "second.dis"));
  // The matcher keeps the last entry: names as written, the output resolved.
  EXPECT_EQ(matcher.Image0Name, "a1.bmp");
  EXPECT_EQ(matcher.Image1Name, "a0.bmp");
  EXPECT_EQ(matcher.OutputFileName, dir / "second.dis");
  EXPECT_EQ(matcher.IterationCount(), 2);
  ASSERT_NE(images.image0, nullptr);
  EXPECT_EQ(images.image0->columns(), 40);
}

TEST_F(BatchRun, TakesRelativeNamesFromTheFolderOfTheDirectionsFile) {
  std::filesystem::create_directories(dir.path / "scene" / "pictures");
  WriteShiftedPair(dir / "scene/pictures/l.bmp", dir / "r.bmp", 40, 32, 2);
  WriteText(dir / "scene/job.cpd", Entry("pictures/l.bmp", dir / "r.bmp", "out.dis"));
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path);  // somewhere else than the file's folder
  const bool ok = Run("scene/job.cpd");
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(ok) << Fatal();
  EXPECT_EQ(host.loaded, (std::vector<std::string>{"0:" + (dir / "scene/pictures/l.bmp"),
                                                   "1:" + (dir / "r.bmp")}));
  EXPECT_EQ(matcher.Image0Name, "pictures/l.bmp");
  EXPECT_EQ(matcher.OutputFileName, dir / "scene/out.dis");
  EXPECT_TRUE(std::filesystem::exists(dir / "scene/out.dis"));
}

TEST_F(BatchRun, EmptyAndWhiteSpaceOnlyFilesSucceedWithoutWork) {
  WriteText(dir / "empty.cpd", "");
  WriteText(dir / "blank.cpd", "\n \t\r\n");
  EXPECT_TRUE(Run(dir / "empty.cpd"));
  EXPECT_TRUE(Run(dir / "blank.cpd"));
  EXPECT_TRUE(host.events.empty());
  EXPECT_TRUE(host.fatal.empty());
}

TEST_F(BatchRun, ReportsFilesAndImagesThatCannotBeUsed) {
  WriteShiftedPair(dir / "a0.bmp", dir / "a1.bmp", 40, 32, 3);
  WriteShiftedPair(dir / "small0.bmp", dir / "small1.bmp", 40, 31, 3);
  struct Case {
    std::string directions, message;
  };
  const std::vector<Case> cases = {
      {Entry("a0.bmp", "missing%d.bmp", "o.dis"),
       "Couldn't open image - missing%d.bmp\ncannot open: No such file or directory"},
      {Entry("nothing.bmp", "a1.bmp", "o.dis"),
       "Couldn't open image - nothing.bmp\ncannot open: No such file or directory"},
      {Entry("a0.bmp", "in.cpd", "o.dis"),
       "Couldn't open image - in.cpd\nunsupported format: not a BMP, PNG, binary PGM or binary "
       "PPM file"},
      {Entry("a0.bmp", "small1.bmp", "o.dis"), "Image 1 is smaller than image 0 - small1.bmp"},
      {Entry("a0.bmp", "a1.bmp", "o.dis", 2, 2), "in.dat :: Number of Color Bands must be 1 or 3"},
      {Entry("a0.bmp", "a1.bmp", "o.dis", 2, 1, -2000000000, 2000000000),
       "Not enough memory for a match volume of 32 x 40 x 4000000000"},
      {Entry("a0.bmp", "a1.bmp", "o.dis", 2, 1, -1000000000, 1000000000),
       "Not enough memory for a match volume of 32 x 40 x 2000000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.directions);
    host.fatal.clear();
    WriteText(dir / "in.cpd", c.directions);
    EXPECT_FALSE(Run(dir / "in.cpd"));
    ASSERT_EQ(host.fatal.size(), 1u);
    // The message scripts match is the first line; a reason may follow, and
    // where the case names it, it must be that one.
    const std::string& got = host.fatal[0];
    EXPECT_EQ(c.message.find('\n') == std::string::npos ? got.substr(0, got.find('\n')) : got,
              c.message);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "o.dis"));

  host.fatal.clear();
  EXPECT_FALSE(Run(dir / "absent.cpd"));
  EXPECT_EQ(Fatal(), "Couldn't open " + (dir / "absent.cpd") + "\nNo such file or directory");
  EXPECT_FALSE(Run(dir.path.string()));
  EXPECT_EQ(Fatal(), "Couldn't open " + dir.path.string() + "\nit is a folder");
}

TEST_F(BatchRun, ALargerImage1GivesItsTopLeftPart) {
  WriteShiftedPair(dir / "a0.bmp", dir / "a1.bmp", 40, 32, 3);
  WriteShiftedPair(dir / "b0.bmp", dir / "big1.bmp", 44, 35, 3);
  WriteText(dir / "in.cpd",
            Entry("a0.bmp", "big1.bmp", "big.dis") + Entry("a0.bmp", "a1.bmp", "plain.dis"));
  ASSERT_TRUE(Run(dir / "in.cpd")) << Fatal();
  // Both image 1 files hold the same texture, so the results agree.
  EXPECT_EQ(ReadText(dir / "big.dis"), ReadText(dir / "plain.dis"));
}

// A host of tavrel-batch's kind: no volumes, and the whole maps only when
// it asks for them. It records what it hears and can stop the run.
struct RowHost : RecordingHost {
  explicit RowHost(bool maps) : maps(maps) {}
  bool KeepsVolumes() const override { return false; }
  bool NeedsResultMaps() const override { return maps; }
  void Progress(const BatchProgress& progress) override {
    RecordingHost::Progress(progress);
    if (progress.stage == BatchStage::Iteration && progress.step == stopAtIteration) {
      throw RunStopped();
    }
  }
  void OutputNotWritten(const std::string& path, const std::string& reason) override {
    lost.push_back(path + ": " + reason);
  }
  void Warning(const std::string& message) override { warnings.push_back(message); }

  bool maps;
  int stopAtIteration = 0;
  std::vector<std::string> lost, warnings;
};

// Files other than the ones named: temporaries left behind.
std::vector<std::string> Strays(const TempDir& dir, const std::vector<std::string>& known) {
  std::vector<std::string> strays;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
    const std::string name = entry.path().filename().string();
    if (std::find(known.begin(), known.end(), name) == known.end()) strays.push_back(name);
  }
  return strays;
}

// The output file written row by row as the job runs is the file the whole
// map gives, to the byte, and so are the warnings; the maps are kept only
// for a host that needs them.
TEST_F(BatchRun, RowByRowOutputFilesEqualThoseOfTheWholeMap) {
  WriteShiftedPair(dir / "a0.bmp", dir / "a1.bmp", 45, 37, 3);
  // The second entry's range has the wrong sign: its warning comes from the
  // rows as they pass.
  WriteText(dir / "in.cpd", Entry("a0.bmp", "a1.bmp", "right.dis", 3, 3) +
                                Entry("a0.bmp", "a1.bmp", "wrong.dis", 2, 1, 3, 40));
  ASSERT_TRUE(Run(dir / "in.cpd")) << Fatal();
  const std::string right = ReadText(dir / "right.dis");
  const std::string wrong = ReadText(dir / "wrong.dis");
  std::vector<std::string> warnings;
  for (const bool maps : {true, false}) {
    RowHost rows(maps);
    StereoMatcher streamed;
    ASSERT_TRUE(ProcessDirectionsFile(dir / "in.cpd", streamed, images, rows)) << maps;
    EXPECT_EQ(ReadText(dir / "right.dis"), right) << maps;
    EXPECT_EQ(ReadText(dir / "wrong.dis"), wrong) << maps;
    EXPECT_EQ(rows.events, host.events) << maps;
    EXPECT_TRUE(rows.lost.empty()) << maps;
    EXPECT_EQ(streamed.DispConf() != nullptr, maps);
    EXPECT_EQ(streamed.DisplayMap() != nullptr, maps);
    EXPECT_EQ(streamed.L0(), nullptr);
    EXPECT_EQ(streamed.IterationCount(), 2);
    EXPECT_EQ(streamed.Columns(), 45);
    warnings.push_back(rows.warnings.empty() ? "" : rows.warnings.front());
  }
  EXPECT_NE(warnings[0].find("entry 2: a0.bmp a1.bmp -> wrong.dis"), std::string::npos);
  EXPECT_EQ(warnings[1], warnings[0]);
  EXPECT_EQ(Strays(dir, {"a0.bmp", "a1.bmp", "in.cpd", "right.dis", "wrong.dis"}),
            std::vector<std::string>{});
}

// A file that fails part-way, or a run stopped while its job runs, leaves
// the earlier file as it was and no temporary; a write failure ends only
// the file, and the entry is still done.
TEST_F(BatchRun, RowByRowFailuresKeepTheEarlierFile) {
  WriteShiftedPair(dir / "a0.bmp", dir / "a1.bmp", 60, 300, 3);
  WriteText(dir / "in.cpd", Entry("a0.bmp", "a1.bmp", "out.dis", 4));
  WriteText(dir / "out.dis", "earlier");
  const std::vector<std::string> known = {"a0.bmp", "a1.bmp", "in.cpd", "out.dis"};

  RowHost full(false);
  // The rows pass the buffer's size a few times: the second write fails.
  SetWriteFailureHook([](std::size_t written, std::size_t) { return written > 0 ? ENOSPC : 0; });
  const bool ran = ProcessDirectionsFile(dir / "in.cpd", matcher, images, full);
  SetWriteFailureHook({});
  EXPECT_TRUE(ran);
  EXPECT_EQ(full.lost, std::vector<std::string>{(dir / "out.dis") + ": No space left on device"});
  EXPECT_EQ(full.events, (std::vector<std::string>{"loaded a0.bmp", "Disparity 4"}));
  EXPECT_EQ(ReadText(dir / "out.dis"), "earlier");
  EXPECT_EQ(Strays(dir, known), std::vector<std::string>{});

  RowHost stopping(false);
  stopping.stopAtIteration = 3;
  EXPECT_THROW(ProcessDirectionsFile(dir / "in.cpd", matcher, images, stopping), RunStopped);
  EXPECT_EQ(ReadText(dir / "out.dis"), "earlier");
  EXPECT_EQ(Strays(dir, known), std::vector<std::string>{});
}

// End to end on a real scene with ground truth, when the shared data is here:
// the directions file as shipped, the BMP loader and the sign convention.
TEST_F(BatchRun, ARealSceneComesCloseToItsGroundTruth) {
  const std::filesystem::path scene = std::filesystem::path(TAVREL_SHARED_DATA_DIR) / "teddy";
  if (!std::filesystem::exists(scene / "scene.cpd")) GTEST_SKIP() << "no shared data";
  for (const char* name : {"left.bmp", "right.bmp", "scene.cpd"}) {
    std::filesystem::copy_file(scene / name, dir.path / name);
  }
  ASSERT_TRUE(Run(dir / "scene.cpd")) << Fatal();
  const auto truth = ReadPfm((scene / "gt_left.pfm").string());
  ASSERT_NE(truth, nullptr);
  ASSERT_EQ(truth->columns(), matcher.Columns());
  long known = 0, bad = 0;
  for (int r = 10; r < matcher.Rows() - 10; ++r) {
    for (int c = 10; c < matcher.Columns() - 10; ++c) {
      const float gt = truth->At(r, c, 0);
      if (!std::isfinite(gt)) continue;
      ++known;
      bad += std::fabs(-matcher.DispConf()->At(r, c, 0) - gt) > 2.0f;
    }
  }
  ASSERT_GT(known, 0);
  // 17.6 % when this was written; a broken loader or sign gives far more.
  EXPECT_LT(100.0 * bad / known, 20.0);
}

}  // namespace
}  // namespace tavrel
