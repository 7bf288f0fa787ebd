#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "files/output_file.h"
#include "tests/batch_test_support.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;
using testing::TempDir;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string PrintfLine(float disparity, float confidence) {
  char text[128];
  std::snprintf(text, sizeof text, "%f %f", disparity, confidence);
  return text;
}

TEST(OutputFile, WritesHeaderAndOnePixelPerLineInScanOrder) {
  FloatArray maps(4, 3, 2);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) {
      maps.At(r, c, 0) = static_cast<float>(10 * r + c) + 0.5f;
      maps.At(r, c, 1) = static_cast<float>(r * 4 + c) / 1000.0f;
    }
  }
  maps.At(0, 0, 0) = -3.0f;
  maps.At(0, 0, 1) = 0.0f;
  StereoMatcher m = testing::MatcherWithResults(std::move(maps), 5, -3);
  TempDir dir;
  const fs::path file = dir.path / "image.dis";
  ASSERT_TRUE(WriteOutputFile(m, file.string()));

  const std::string text = ReadText(file);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  ASSERT_EQ(text.back(), '\n');
  const std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0], "4 3");
  EXPECT_EQ(lines[1], "-3.000000 0.000000");
  EXPECT_EQ(lines[4], "3.500000 0.003000");   // pixel (0, 3)
  EXPECT_EQ(lines[5], "10.500000 0.004000");  // pixel (1, 0)
  EXPECT_EQ(lines[12], "23.500000 0.011000");
}

TEST(OutputFile, NumbersAreFormattedAsPrintfInTheCLocaleFormatsThem) {
  std::mt19937 rng(51);
  std::vector<float> values = {0.0f,       -0.0f,      2.5f,       -3.0f,  0.0001234f,
                               0.0000005f, 0.0000015f, 1e-7f,      -1e-7f, 123456.789f,
                               3.4e38f,    -3.4e38f,   1.0f / 3.0f};
  std::uniform_real_distribution<float> wide(-1000.0f, 1000.0f);
  std::uniform_real_distribution<float> narrow(-0.01f, 0.01f);
  for (int i = 0; i < 2000; ++i) values.push_back(i % 2 ? wide(rng) : narrow(rng));
  const int columns = static_cast<int>(values.size()) / 2;

  FloatArray maps(columns, 1, 2);
  for (int c = 0; c < columns; ++c) {
    maps.At(0, c, 0) = values[2 * c];
    maps.At(0, c, 1) = values[2 * c + 1];
  }
  StereoMatcher m = testing::MatcherWithResults(std::move(maps), 5, 0);
  TempDir dir;
  const fs::path file = dir.path / "formats.dis";
  ASSERT_TRUE(WriteOutputFile(m, file.string()));
  const std::vector<std::string> lines = Lines(ReadText(file));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(columns) + 1);
  for (int c = 0; c < columns; ++c) {
    ASSERT_EQ(lines[c + 1], PrintfLine(values[2 * c], values[2 * c + 1])) << "pixel " << c;
  }
}

TEST(OutputFile, ReplacesAnExistingFileCompletely) {
  StereoMatcher m = testing::MatcherWithGrids(1, 1, 5, 0);
  TempDir dir;
  const fs::path file = dir.path / "again.dis";
  testing::WriteText(file, std::string(10000, 'x'));
  ASSERT_TRUE(WriteOutputFile(m, file.string()));
  EXPECT_EQ(ReadText(file), "1 1\n0.000000 0.000000\n");
}

TEST(OutputFile, FailuresReturnFalseAndLeaveNoFile) {
  StereoMatcher m = testing::MatcherWithGrids(2, 2, 5, 0);
  TempDir dir;
  const fs::path missingFolder = dir.path / "no such folder" / "out.dis";
  EXPECT_FALSE(WriteOutputFile(m, missingFolder.string()));
  EXPECT_FALSE(fs::exists(missingFolder));
  EXPECT_FALSE(WriteOutputFile(m, dir.path.string()));  // a folder, not a file

  StereoMatcher empty;
  const fs::path never = dir.path / "never.dis";
  EXPECT_FALSE(WriteOutputFile(empty, never.string()));
  EXPECT_FALSE(fs::exists(never));
}

TEST(OutputFile, APartlyWrittenFileIsRemoved) {
  // A file size limit makes the writes fail part-way, as a full disk would.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 20000;
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  StereoMatcher m = testing::MatcherWithGrids(100, 100, 5, 0);
  TempDir dir;
  const fs::path file = dir.path / "partial.dis";
  const bool written = WriteOutputFile(m, file.string());
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(written);
  EXPECT_FALSE(fs::exists(file));
}

// Row by row, as a streamed job hands the rows over: the same bytes, and
// nothing in place before the last row and the commit.
TEST(OutputFile, RowByRowGivesTheSameFileAndNothingBeforeItsCommit) {
  FloatArray maps(5, 3, 2);
  for (int k = 0; k < 30; ++k) maps.data()[k] = static_cast<float>(k) / 7.0f - 2.0f;
  StereoMatcher m = testing::MatcherWithResults(std::move(maps), 5, 0);
  TempDir dir;
  const fs::path whole = dir.path / "whole.dis";
  const fs::path rows = dir.path / "rows.dis";
  ASSERT_TRUE(WriteOutputFile(m, whole.string()));
  testing::WriteText(rows, "earlier");
  auto row = [&m](int r) { return m.DispConf()->data() + r * 10; };
  {
    OutputFileRows file(rows.string(), 5, 3);
    file.Row(0, row(0));
    EXPECT_THROW(file.Row(2, row(2)), std::logic_error);
    file.Row(1, row(1));
    EXPECT_THROW(file.Commit(), std::logic_error);
  }
  EXPECT_EQ(ReadText(rows), "earlier");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2);
  OutputFileRows file(rows.string(), 5, 3);
  for (int r = 0; r < 3; ++r) file.Row(r, row(r));
  EXPECT_THROW(file.Row(3, row(2)), std::logic_error);
  file.Commit();
  EXPECT_EQ(ReadText(rows), ReadText(whole));
}

TEST(OutputFile, AFullDeviceIsReportedAndNotRemoved) {
  struct stat info {};
  if (stat("/dev/full", &info) != 0 || !S_ISCHR(info.st_mode)) {
    GTEST_SKIP() << "no /dev/full";
  }
  StereoMatcher m = testing::MatcherWithGrids(64, 64, 5, 0);
  EXPECT_FALSE(WriteOutputFile(m, "/dev/full"));
  EXPECT_EQ(stat("/dev/full", &info), 0);
}

}  // namespace
}  // namespace tavrel
