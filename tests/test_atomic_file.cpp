// Files replaced whole or not at all: failures part-way, links, devices and
// FIFOs, and the writers that go through them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "batch_test_support.h"
#include "engine_test_support.h"
#include "files/atomic_file.h"
#include "files/output_file.h"
#include "files/pfm_writing.h"
#include "files/usage_text.h"

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;
using testing::TempDir;
using testing::WriteText;

// Names in the folder other than the ones a test made: temporaries left over.
int EntriesIn(const fs::path& folder) {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
  return count;
}

struct FailingWrites : ::testing::Test {
  // Every write from byte `at` on fails with `error`, as a full disk would.
  void FailFrom(std::size_t at, int error) {
    SetWriteFailureHook([at, error](std::size_t written, std::size_t size) {
      return written + size > at ? error : 0;
    });
  }
  void TearDown() override { SetWriteFailureHook({}); }
  TempDir dir;
};

TEST_F(FailingWrites, AFailurePartWayLeavesTheEarlierFileAndNoTemporary) {
  const std::string file = dir / "out.dis";
  WriteText(file, "earlier result\n");
  StereoMatcher m = testing::MatcherWithGrids(100, 100, 5, 0);
  FailFrom(70000, ENOSPC);  // past the first buffer written
  std::string reason;
  EXPECT_FALSE(WriteOutputFile(m, file, &reason));
  EXPECT_EQ(reason, std::strerror(ENOSPC));
  EXPECT_EQ(ReadText(file), "earlier result\n");
  EXPECT_EQ(EntriesIn(dir.path), 1);

  for (const auto& write :
       {+[](const std::string&f, std::string*r) { return WritePfm(FloatArray(8, 8, 1), 0, f, r); },
        +[](const std::string&f, std::string*r) { return WriteReadme(f, r); }}) {
    FailFrom(10, EIO);
    EXPECT_FALSE(write(file, &reason));
    EXPECT_EQ(reason, std::strerror(EIO));
    EXPECT_EQ(ReadText(file), "earlier result\n");
    EXPECT_EQ(EntriesIn(dir.path), 1);
  }

  SetWriteFailureHook({});
  ASSERT_TRUE(WriteOutputFile(m, file));
  EXPECT_EQ(ReadText(file).substr(0, 8), "100 100\n");
  EXPECT_EQ(EntriesIn(dir.path), 1);
}

TEST_F(FailingWrites, AnUncommittedFileLeavesNothing) {
  {
    AtomicFile file(dir / "never.dis");
    file.Write("half");
  }
  EXPECT_EQ(EntriesIn(dir.path), 0);
}

TEST(AtomicFile, ReplacesWholeAndKeepsThePermissions) {
  TempDir dir;
  const std::string file = dir / "out.dis";
  WriteText(file, "old");
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(WriteWholeFile(file, "new contents"));
  EXPECT_EQ(ReadText(file), "new contents");
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_TRUE(WriteWholeFile(dir / "fresh.dis", ""));
  EXPECT_EQ(ReadText(dir / "fresh.dis"), "");
}

TEST(AtomicFile, ALinkStaysALinkAndItsTargetIsReplaced) {
  TempDir dir;
  fs::create_directories(dir.path / "elsewhere");
  WriteText(dir / "elsewhere/real.dis", "old");
  fs::create_symlink("elsewhere/real.dis", dir.path / "link.dis");
  fs::create_symlink("link.dis", dir.path / "chain.dis");
  ASSERT_TRUE(WriteWholeFile(dir / "chain.dis", "new"));
  EXPECT_TRUE(fs::is_symlink(dir.path / "chain.dis"));
  EXPECT_TRUE(fs::is_symlink(dir.path / "link.dis"));
  EXPECT_EQ(ReadText(dir / "elsewhere/real.dis"), "new");
  EXPECT_EQ(EntriesIn(dir.path / "elsewhere"), 1);

  // A link to a file not yet there makes that file.
  fs::create_symlink("elsewhere/later.dis", dir.path / "dangling.dis");
  ASSERT_TRUE(WriteWholeFile(dir / "dangling.dis", "made"));
  EXPECT_TRUE(fs::is_symlink(dir.path / "dangling.dis"));
  EXPECT_EQ(ReadText(dir / "elsewhere/later.dis"), "made");
}

TEST(AtomicFile, DevicesAreWrittenDirectlyAndNothingIsMadeInDev) {
  EXPECT_TRUE(IsWrittenDirectly("/dev/null"));
  EXPECT_TRUE(WriteWholeFile("/dev/null", "gone"));
  std::string reason;
  if (fs::exists("/dev/full")) {
    EXPECT_FALSE(WriteWholeFile("/dev/full", "x", &reason));
    EXPECT_EQ(reason, std::strerror(ENOSPC));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
  }
  const std::string absent = "/dev/tavrel-test-absent";
  EXPECT_FALSE(WriteWholeFile(absent, "x", &reason));
  EXPECT_FALSE(fs::exists(absent));
  TempDir dir;
  fs::create_symlink(absent, dir.path / "to-dev.dis");
  EXPECT_FALSE(WriteWholeFile(dir / "to-dev.dis", "x", &reason));
  EXPECT_FALSE(fs::exists(absent));
  EXPECT_FALSE(WriteWholeFile(dir.path.string(), "x", &reason));  // a folder
  EXPECT_EQ(reason, std::strerror(EISDIR));
}

TEST(AtomicFile, AFifoWithoutAReaderIsRefusedAtOnceAndOneWithAReaderGetsTheBytes) {
  TempDir dir;
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(IsWrittenDirectly(fifo));
  const auto started = std::chrono::steady_clock::now();
  std::string reason;
  EXPECT_FALSE(WriteWholeFile(fifo, "nobody", &reason));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_FALSE(reason.empty());

  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(WriteWholeFile(fifo, "through the pipe", &reason)) << reason;
  char bytes[64] = {};
  EXPECT_EQ(read(reader, bytes, sizeof bytes), 16);
  EXPECT_EQ(std::string(bytes), "through the pipe");
  close(reader);
  EXPECT_TRUE(fs::is_fifo(fifo));
}

}  // namespace
}  // namespace tavrel
