#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/usage_text.h"
#include "tests/batch_test_support.h"

namespace tavrel {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text after the last line end";
  return lines;
}

std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == line) return i;
  }
  ADD_FAILURE() << "missing line: " << line;
  return 0;
}

TEST(UsageText, KeepsTheExactLinesWithTheirBlanksAndTabs) {
  const auto lines = Lines(UsageText());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Tavrel.exe - Version 1.01, Jan 21, 2000");
  const std::size_t requirements =
      IndexOf(lines, "Requirements:  Windows NT 4.0 or later, 24 or 32 bit color");
  EXPECT_EQ(lines[requirements - 1], "") << "the authorship block ends with one empty line";
  // What this build reads and where it runs, added at the end of the block.
  const std::size_t pictures =
      IndexOf(lines, "Every picture that comes with Tavrel was made by the Tavrel project itself.");
  EXPECT_EQ(lines[pictures + 2].rfind("This build reads images as BMP", 0), 0u);
  EXPECT_NE(lines[pictures + 2].find("PNG, and PPM or PGM"), std::string::npos);
  EXPECT_EQ(lines[pictures + 3],
            "It runs on Linux, headless as tavrel-batch or in the Qt window tavrel.");
  EXPECT_EQ(pictures + 5, requirements);
  IndexOf(lines,
          "Tavrel.exe reads in two images files and a directions file named \"*.cpd\".  The image "
          "files ");
  IndexOf(lines, "Format for \"*.cpd\"  ");
  IndexOf(lines, "i1 = Minimum disparity value in pixels.\t");
  IndexOf(lines, "\tRecommended values = 1 or 2 ");
  IndexOf(lines, "\t(more noise) the lower the value should be.  ");
  EXPECT_EQ(IndexOf(lines, "MinDisparity \t-3"), IndexOf(lines, "image0.bmp image1.bmp 1") + 1);
  const std::size_t outputFormat = IndexOf(lines, "Format of the Output File:");
  EXPECT_EQ(lines[outputFormat - 4], "Output File \timage.dis");
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(lines[outputFormat - k], "");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            "Disparity and confidence values are output horizontally (like a TV scan).");
  EXPECT_EQ(lines.back(), "");
  for (const auto& line : lines) EXPECT_EQ(line.find('%'), std::string::npos) << line;
}

// Writing twice leaves one copy; a folder that does not exist is reported.
TEST(UsageText, WritesOneCopyOrReportsTheFailure) {
  testing::TempDir dir;
  ASSERT_TRUE(WriteReadme(dir / "README.txt"));
  ASSERT_TRUE(WriteReadme(dir / "README.txt"));
  EXPECT_EQ(testing::ReadText(dir / "README.txt"), UsageText());
  EXPECT_FALSE(WriteReadme(dir / "missing/README.txt"));
}

}  // namespace
}  // namespace tavrel
