// What a batch run must never do: overwrite its inputs, lose the earlier of
// two results silently, compute for a folder that is not there, or end in an
// abort when memory runs out; and what it warns of without changing results.

#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "batch_test_support.h"
#include "engine/streamed_pipeline.h"
#include "files/batch_run.h"
#include "imageio/image_loading.h"

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using testing::Entry;
using testing::ReadText;
using testing::TempDir;
using testing::WriteShiftedPair;
using testing::WriteText;

struct SafetyHost : BatchHost {
  std::unique_ptr<FloatArray> LoadImage(int, const std::string& path, int bands) override {
    ++loads;
    return LoadImageGrid(path, bands);
  }
  void EntryDone(const StereoJob&, const StereoMatcher&, const std::string&) override { ++done; }
  void OutputNotWritten(const std::string& path, const std::string& reason) override {
    notWritten.push_back(path + ": " + reason);
  }
  void Warning(const std::string& message) override { events.push_back("warning " + message); }
  void FatalError(const std::string& message) override { events.push_back("fatal " + message); }

  int loads = 0, done = 0;
  std::vector<std::string> notWritten, events;
};

struct BatchSafety : ::testing::Test {
  void SetUp() override { WriteShiftedPair(dir / "l.bmp", dir / "r.bmp", 40, 32, 3); }
  bool Run(const std::vector<std::string>& beside = {}) {
    return ProcessDirectionsFile(dir / "in.cpd", matcher, images, host, beside);
  }
  std::vector<std::string> Warnings() const {
    std::vector<std::string> warnings;
    for (const auto& e : host.events) {
      if (e.rfind("warning ", 0) == 0) warnings.push_back(e.substr(8));
    }
    return warnings;
  }

  TempDir dir;
  StereoMatcher matcher;
  EntryImages images;
  SafetyHost host;
};

TEST_F(BatchSafety, AnOutputOnAnInputStopsTheRunBeforeAnythingRuns) {
  const std::string image = ReadText(dir / "l.bmp");
  fs::create_symlink("l.bmp", dir.path / "alias.dis");
  fs::create_hard_link(dir.path / "r.bmp", dir.path / "hard.dis");
  struct Case {
    std::string output;
    std::vector<std::string> beside;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"l.bmp", {}, "Output File l.bmp would overwrite the image l.bmp"},
      {"./sub/../r.bmp", {}, "Output File ./sub/../r.bmp would overwrite the image r.bmp"},
      {"alias.dis", {}, "Output File alias.dis would overwrite the image l.bmp"},
      {"hard.dis", {}, "Output File hard.dis would overwrite the image r.bmp"},
      {"in.cpd", {}, "Output File in.cpd would overwrite the directions file " + (dir / "in.cpd")},
      {"l.dis",
       {".bmp"},
       "l.bmp (written beside Output File l.dis) would overwrite the image l.bmp"},
  };
  fs::create_directories(dir.path / "sub");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    host = SafetyHost();
    // The clash is in the second entry: the first must not run either.
    const std::string directions =
        Entry("l.bmp", "r.bmp", "first.dis") + Entry("l.bmp", "r.bmp", c.output);
    WriteText(dir / "in.cpd", directions);
    EXPECT_FALSE(Run(c.beside));
    ASSERT_EQ(host.events.size(), 1u);
    EXPECT_EQ(host.events[0].substr(0, host.events[0].find('\n')), "fatal " + c.message);
    EXPECT_EQ(host.loads, 0);
    EXPECT_FALSE(fs::exists(dir.path / "first.dis"));
    EXPECT_EQ(ReadText(dir / "l.bmp"), image);
    EXPECT_EQ(ReadText(dir / "in.cpd"), directions);
  }
}

TEST_F(BatchSafety, ANameWrittenTwiceIsWarnedOfAndTheLaterFileStands) {
  WriteText(dir / "in.cpd", Entry("l.bmp", "r.bmp", "same.dis", 1) +
                                Entry("l.bmp", "r.bmp", "other.dis", 1) +
                                Entry("l.bmp", "r.bmp", "./same.dis", 3));
  ASSERT_TRUE(Run()) << ::testing::PrintToString(host.events);
  EXPECT_EQ(Warnings(), std::vector<std::string>{"entry 3: Output File ./same.dis is also written "
                                                 "by entry 1; the later file stands"});
  EXPECT_EQ(host.done, 3);
  EXPECT_EQ(matcher.IterationCount(), 3);
  const std::string last = ReadText(dir / "same.dis");
  WriteText(dir / "in.cpd", Entry("l.bmp", "r.bmp", "same.dis", 3));
  ASSERT_TRUE(Run());
  EXPECT_EQ(ReadText(dir / "same.dis"), last);
}

TEST_F(BatchSafety, AMissingOutputFolderSkipsItsEntryBeforeAnyWork) {
  WriteText(dir / "in.cpd",
            Entry("l.bmp", "r.bmp", "absent/out.dis") + Entry("l.bmp", "r.bmp", "kept.dis"));
  ASSERT_TRUE(Run());
  ASSERT_EQ(host.notWritten.size(), 1u);
  EXPECT_EQ(host.notWritten[0],
            (dir / "absent/out.dis") + ": the folder " + (dir / "absent") + " does not exist");
  EXPECT_EQ(host.loads, 2);  // only the second entry's images
  EXPECT_EQ(host.done, 1);
  EXPECT_TRUE(fs::exists(dir.path / "kept.dis"));
}

TEST_F(BatchSafety, DoubtfulValuesAreWarnedOfOnlyOnceTheEntryCanRun) {
  auto entry = [](int iterations, const std::string& scaler) {
    std::string text = Entry("l.bmp", "r.bmp", "out.dis", iterations);
    return text.replace(text.find("0.96"), 4, scaler);
  };
  struct Case {
    std::string directions;
    std::vector<std::string> warnings;
  };
  const std::vector<Case> cases = {
      {entry(2, "0.96"), {}},
      {entry(-5, "0.96"), {"entry 1: NumIterations -5 is below 0 and taken as 0"}},
      {entry(1, "1e39"), {"entry 1: MaxScaler is too large for a float and taken as infinite"}},
      {entry(1, "0"), {"entry 1: MaxScaler 0 is not positive"}},
      {entry(1, "-0.5"), {"entry 1: MaxScaler -0.5 is not positive"}},
      // A byte-order mark is skipped, not taken into the first image's name.
      {"\xEF\xBB\xBF" + entry(1, "0.96"),
       {dir / "in.cpd" + " begins with a byte-order mark, which was skipped"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directions);
    host = SafetyHost();
    WriteText(dir / "in.cpd", c.directions);
    EXPECT_TRUE(Run());
    EXPECT_EQ(Warnings(), c.warnings);
  }
  // An entry that fails gives its message and no warning.
  host = SafetyHost();
  WriteText(dir / "in.cpd", entry(-5, "0").replace(0, 5, "x.bmp"));
  EXPECT_FALSE(Run());
  EXPECT_EQ(host.events, std::vector<std::string>{"fatal Couldn't open image - x.bmp\n"
                                                  "cannot open: No such file or directory"});
}

TEST_F(BatchSafety, AGreyImageWithAColourOneIsWarnedOf) {
  // A 24-bit picture whose blue band differs from the others.
  WriteShiftedPair(dir / "g0.bmp", dir / "g1.bmp", 40, 32, 3);
  std::string colour = ReadText(dir / "g1.bmp");
  for (std::size_t i = 54; i < colour.size(); i += 3) colour[i] = static_cast<char>(colour[i] ^ 1);
  WriteText(dir / "c1.bmp", colour);
  WriteText(dir / "in.cpd", Entry("g0.bmp", "c1.bmp", "a.dis", 1, 3) +
                                Entry("c1.bmp", "g0.bmp", "b.dis", 1, 3) +
                                Entry("g0.bmp", "g1.bmp", "c.dis", 1, 3) +
                                Entry("g0.bmp", "c1.bmp", "d.dis", 1, 1));
  ASSERT_TRUE(Run());
  EXPECT_EQ(Warnings(),
            (std::vector<std::string>{
                "entry 1: image 0 (g0.bmp) is grey but image 1 (c1.bmp) is in colour",
                "entry 2: image 0 (c1.bmp) is in colour but image 1 (g0.bmp) is grey"}));
}

// Every allocation of the stages' rings and channels, in turn, fails: each ends in
// the memory message and leaves the earlier entry's file, and the run after
// gives the same results as one that never failed.
TEST_F(BatchSafety, AScratchAllocationThatFailsEndsInTheMemoryMessage) {
  std::string correlation = Entry("l.bmp", "r.bmp", "third.dis", 2);
  correlation.replace(correlation.find("USE_SAD \t1"), 10, "USE_SAD \t0");
  WriteText(dir / "in.cpd", Entry("l.bmp", "r.bmp", "first.dis", 2) +
                                Entry("l.bmp", "r.bmp", "second.dis", 2, 3) + correlation);
  ASSERT_TRUE(Run()) << ::testing::PrintToString(host.events);
  const std::string expected = ReadText(dir / "third.dis");
  int failures = 0;
  for (long n = 1; n < 200; ++n) {
    SCOPED_TRACE(n);
    host = SafetyHost();
    fs::remove(dir.path / "third.dis");
    streamed::FailNthAllocation(n);
    const bool completed = Run();
    streamed::FailNthAllocation(0);
    if (completed) break;
    ++failures;
    ASSERT_EQ(host.events.size(), 1u);
    EXPECT_EQ(host.events[0].rfind("fatal Not enough memory for a match volume of 32 x 40 x 12", 0),
              0u)
        << host.events[0];
    EXPECT_TRUE(fs::exists(dir.path / "first.dis"));
  }
  EXPECT_GT(failures, 3);
  host = SafetyHost();
  ASSERT_TRUE(Run());
  EXPECT_EQ(ReadText(dir / "third.dis"), expected);
}

}  // namespace
}  // namespace tavrel
