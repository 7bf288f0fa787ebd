#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "files/output_file.h"
#include "tests/batch_test_support.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

using testing::TempDir;
using testing::WriteText;

TEST(OutputFileReading, GivesTheFloatNearestToEachWrittenDecimal) {
  const std::vector<float> values = {0.0f,
                                     -0.0f,
                                     2.5f,
                                     -27.123456f,
                                     0.0000005f,
                                     1e-7f,
                                     123456.789f,
                                     3.4e38f,
                                     -3.4e38f,
                                     1.0f / 3.0f,
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::quiet_NaN(),
                                     0.96f};
  const int columns = static_cast<int>(values.size()) / 2;
  FloatArray maps(columns, 1, 2);
  for (int c = 0; c < columns; ++c) {
    maps.At(0, c, 0) = values[2 * c];
    maps.At(0, c, 1) = values[2 * c + 1];
  }
  StereoMatcher m = testing::MatcherWithResults(std::move(maps), 5, 0);
  TempDir dir;
  ASSERT_TRUE(WriteOutputFile(m, dir / "values.dis"));
  const auto grid = ReadOutputFile(dir / "values.dis");
  ASSERT_EQ(grid->columns(), columns);
  ASSERT_EQ(grid->rows(), 1);
  ASSERT_EQ(grid->bands(), 2);
  for (int i = 0; i < static_cast<int>(values.size()); ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", values[i]);
    const float expected = std::strtof(text, nullptr);
    const float read = grid->At(0, i / 2, i % 2);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(read)) << i;
    } else {
      EXPECT_EQ(read, expected) << text;
    }
  }
}

TEST(OutputFileReading, TakesAnyWhiteSpaceAndAnEmptyMap) {
  TempDir dir;
  WriteText(dir / "loose.dis", "2\t1\r\n  1.5   -2\n\n3 +4.25");
  const auto grid = ReadOutputFile(dir / "loose.dis");
  EXPECT_EQ(grid->At(0, 0, 0), 1.5f);
  EXPECT_EQ(grid->At(0, 0, 1), -2.0f);
  EXPECT_EQ(grid->At(0, 1, 0), 3.0f);
  EXPECT_EQ(grid->At(0, 1, 1), 4.25f);
  WriteText(dir / "empty.dis", "0 0\n");
  EXPECT_EQ(ReadOutputFile(dir / "empty.dis")->size(), 0u);
}

TEST(OutputFileReading, RefusesWhatItCannotReadWithTheReason) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "the first line must be"},
      {"3\n", "the first line must be"},
      {"-1 2\n", "the first line must be"},
      {"1.5 2\n0 0\n", "the first line must be"},
      {"1 1\n0.5\n", "pixel (0, 0) is missing"},
      {"1 1\n0.5 x\n", "pixel (0, 0) is missing"},
      {"1 1\n0.5 1.0x\n", "pixel (0, 0) is missing"},
      {"1 1\n0.5 1.0\n2\n", "more than 1 x 1 pixels"},
      // A header that promises far more than the file holds allocates nothing.
      {"2000000000 2000000000\n0 0\n", "too short"},
  };
  for (const auto& [text, reason] : cases) {
    WriteText(dir / "bad.dis", text);
    try {
      ReadOutputFile(dir / "bad.dis");
      ADD_FAILURE() << "read: " << text;
    } catch (const OutputFileError& error) {
      EXPECT_NE(std::string(error.what()).find(reason), std::string::npos)
          << text << " -> " << error.what();
    }
  }
  EXPECT_THROW(ReadOutputFile(dir / "absent.dis"), OutputFileError);
}

}  // namespace
}  // namespace tavrel
