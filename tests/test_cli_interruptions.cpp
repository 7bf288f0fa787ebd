// tavrel-batch stopped by signals, killed while it writes, and talking to
// readers that go away: the output is always the earlier file or the whole
// new one, and the exit status says what happened.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "batch_test_support.h"

extern char** environ;

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using testing::Entry;
using testing::ReadText;
using testing::TempDir;
using testing::WriteShiftedPair;
using testing::WriteText;

// Starts the program in `folder` with its standard streams on /dev/null.
pid_t Start(const fs::path& folder, const std::vector<std::string>& arguments) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  std::vector<std::string> words = {TAVREL_BATCH_BINARY};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn(&pid, TAVREL_BATCH_BINARY, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The exit status, or 128 + the signal that ended the process.
int Wait(pid_t pid) {
  int raw = 0;
  waitpid(pid, &raw, 0);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

std::vector<std::string> Temporaries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tavrel-") != std::string::npos) names.push_back(name);
  }
  return names;
}

// The earlier file, or a whole result: its first line's count of pixel lines.
void ExpectOldOrWhole(const std::string& text, const std::string& old) {
  if (text == old) return;
  const auto space = text.find(' ');
  const auto end = text.find('\n');
  ASSERT_NE(end, std::string::npos) << text.substr(0, 80);
  const long columns = std::stol(text.substr(0, space));
  const long rows = std::stol(text.substr(space + 1, end - space - 1));
  long lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, columns * rows + 1);
  EXPECT_EQ(text.back(), '\n');
}

struct Interruptions : ::testing::Test {
  TempDir dir;
};

TEST_F(Interruptions, AKillWhileWritingLeavesTheOldFileOrTheWholeNewOne) {
  WriteShiftedPair(dir / "l.bmp", dir / "r.bmp", 700, 500, 3);
  WriteText(dir / "job.cpd", Entry("l.bmp", "r.bmp", "out.dis", 0, 1, -4, 4));
  const std::string old = "an earlier result\n";
  for (int signal : {SIGKILL, SIGTERM, SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal);
    WriteText(dir / "out.dis", old);
    const pid_t pid = Start(dir.path, {"-q", "job.cpd"});
    ASSERT_GT(pid, 0);
    // Wait for the temporary to appear, then strike while it is written.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool seen = false;
    int raw = 0;
    while (!seen && std::chrono::steady_clock::now() < deadline) {
      seen = !Temporaries(dir.path).empty();
      if (waitpid(pid, &raw, WNOHANG) == pid) break;
    }
    if (seen) kill(pid, signal);
    const int status = seen ? Wait(pid) : (WIFEXITED(raw) ? WEXITSTATUS(raw) : -1);
    ExpectOldOrWhole(ReadText(dir / "out.dis"), old);
    if (signal == SIGTERM) {
      EXPECT_TRUE(status == 143 || status == 0) << status;
      EXPECT_TRUE(Temporaries(dir.path).empty());
    }
    for (const auto& name : Temporaries(dir.path)) fs::remove(dir.path / name);
  }
}

TEST_F(Interruptions, SigintAndSigtermStopBetweenIterations) {
  WriteShiftedPair(dir / "l.bmp", dir / "r.bmp", 120, 90, 3);
  WriteText(dir / "job.cpd", Entry("l.bmp", "r.bmp", "out.dis", 1000000, 1, -8, 8));
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    WriteText(dir / "out.dis", "kept\n");
    const pid_t pid = Start(dir.path, {"-q", "job.cpd"});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto sent = std::chrono::steady_clock::now();
    kill(pid, signal);
    EXPECT_EQ(Wait(pid), 128 + signal);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(20));
    EXPECT_EQ(ReadText(dir / "out.dis"), "kept\n");
    EXPECT_TRUE(Temporaries(dir.path).empty());
  }
}

// The exit status if the process ends within `limit`; otherwise it is
// killed and -1 returned.
int WaitAtMost(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int raw = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &raw, 0);
  return -1;
}

TEST_F(Interruptions, SigtermEndsAWriteThatAStalledReaderHolds) {
  WriteShiftedPair(dir / "l.bmp", dir / "r.bmp", 300, 200, 1);
  WriteText(dir / "job.cpd", Entry("l.bmp", "r.bmp", "out.dis", 0, 1, -4, 4));
  const fs::path fifo = dir / "out.dis";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A reader that holds the pipe open and never reads.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const int capacity = fcntl(reader, F_GETPIPE_SZ);
  const pid_t pid = Start(dir.path, {"-q", "job.cpd"});
  ASSERT_GT(pid, 0);
  // The writer is blocked once the pipe is full.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int queued = 0;
  while (queued < capacity && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ioctl(reader, FIONREAD, &queued);
  }
  ASSERT_GE(queued, capacity) << "the output never filled the pipe";
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitAtMost(pid, std::chrono::seconds(20)), 143);
  close(reader);
}

// Runs a shell command in the folder; its exit status.
int Shell(const fs::path& folder, const std::string& command) {
  const std::string line = "cd '" + folder.string() + "' && " + command;
  const int raw = std::system(("bash -c \"" + line + "\"").c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST_F(Interruptions, AClosedOrAbandonedStandardErrorOnlyStopsTheProgress) {
  WriteShiftedPair(dir / "l.bmp", dir / "r.bmp", 40, 32, 3);
  WriteText(dir / "job.cpd", Entry("l.bmp", "r.bmp", "out.dis", 3, 1, -5, 5));
  const std::string binary = TAVREL_BATCH_BINARY;
  EXPECT_EQ(Shell(dir.path, "'" + binary + "' job.cpd 2>&-"), 0);
  EXPECT_TRUE(fs::exists(dir.path / "out.dis"));
  fs::remove(dir.path / "out.dis");
  // The reader leaves at once; the progress then meets a broken pipe.
  EXPECT_EQ(Shell(dir.path, "'" + binary +
                                "' job.cpd 2>&1 >/dev/null | (exec 0<&-); exit \\${PIPESTATUS[0]}"),
            0);
  EXPECT_TRUE(fs::exists(dir.path / "out.dis"));

  // An output on standard output whose reader leaves: a lost result, said so.
  WriteText(dir / "stdout.cpd", Entry("l.bmp", "r.bmp", "/dev/stdout", 1, 1, -5, 5));
  // The program starts only once the reader has gone, so that even a small
  // output cannot slip into the pipe's buffer first.
  EXPECT_EQ(Shell(dir.path, "{ sleep 1; '" + binary +
                                "' -q stdout.cpd 2>err.txt; } | true; exit \\${PIPESTATUS[0]}"),
            2);
  EXPECT_EQ(ReadText(dir / "err.txt"), "tavrel-batch: could not write /dev/stdout\nBroken pipe\n");
}

TEST_F(Interruptions, WarningsGoToStandardErrorUnlessQuiet) {
  WriteShiftedPair(dir / "l.bmp", dir / "r.bmp", 40, 32, 3);
  WriteText(dir / "job.cpd", Entry("l.bmp", "r.bmp", "out.dis", -5, 1, -5, 5));
  const std::string binary = TAVREL_BATCH_BINARY;
  EXPECT_EQ(Shell(dir.path, "'" + binary + "' -q job.cpd 2>quiet.txt"), 0);
  EXPECT_EQ(ReadText(dir / "quiet.txt"), "");
  EXPECT_EQ(Shell(dir.path, "'" + binary + "' job.cpd 2>told.txt"), 0);
  EXPECT_NE(
      ReadText(dir / "told.txt")
          .find("tavrel-batch: warning: entry 1: NumIterations -5 is below 0 and taken as 0\n"),
      std::string::npos);
}

TEST_F(Interruptions, NothingIsMadeBesideADeviceAndTheReadmeIsReplaced) {
  WriteShiftedPair(dir / "l.bmp", dir / "r.bmp", 40, 32, 3);
  WriteText(dir / "job.cpd", Entry("l.bmp", "r.bmp", "/dev/null", 1, 1, -5, 5));
  WriteText(dir / "README.txt", "an older text");
  const std::string binary = TAVREL_BATCH_BINARY;
  EXPECT_EQ(Shell(dir.path, "'" + binary + "' -q --png --pfm --write-readme job.cpd"), 0);
  EXPECT_FALSE(fs::exists("/dev/null.pfm"));
  EXPECT_FALSE(fs::exists("/dev/null.disparity.png"));
  EXPECT_NE(ReadText(dir / "README.txt"), "an older text");
  int files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path)) ++files;
  EXPECT_EQ(files, 4);  // the images, the directions file and README.txt
}

}  // namespace
}  // namespace tavrel
