#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "batch_test_support.h"
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
  EXPECT_EQ(matcher.IterationCount, 2);
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
  ASSERT_EQ(truth->columns(), matcher.Columns);
  long known = 0, bad = 0;
  for (int r = 10; r < matcher.Rows - 10; ++r) {
    for (int c = 10; c < matcher.Columns - 10; ++c) {
      const float gt = truth->At(r, c, 0);
      if (!std::isfinite(gt)) continue;
      ++known;
      bad += std::fabs(-matcher.DispConf->At(r, c, 0) - gt) > 2.0f;
    }
  }
  ASSERT_GT(known, 0);
  // 17.6 % when this was written; a broken loader or sign gives far more.
  EXPECT_LT(100.0 * bad / known, 20.0);
}

}  // namespace
}  // namespace tavrel
