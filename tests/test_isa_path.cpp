#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/isa_path.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

// The message of the IsaPathError that `work` throws, or "" when none.
template <typename Work>
std::string IsaPathErrorOf(Work work) {
  try {
    work();
  } catch (const IsaPathError& error) {
    return error.what();
  }
  return "";
}

TEST(IsaPath, EveryAvailablePathIsNamedAndSelectable) {
  const std::vector<IsaPath> paths = AvailableIsaPaths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.back(), IsaPath::Baseline);
  for (IsaPath path : paths) {
    EXPECT_EQ(ParseIsaPath(IsaPathName(path)), path);
    testing::IsaPathScope scope(path);
    EXPECT_EQ(ActiveIsaPath(), path);
  }
}

// A misspelt or foreign name, and a path the processor lacks, are refused
// with the list of the paths it can run, never quietly replaced by another.
TEST(IsaPath, UnknownOrUnsupportedPathsAreRefusedWithTheSupportedList) {
  std::string supported;
  for (IsaPath path : AvailableIsaPaths()) {
    supported += (supported.empty() ? "" : ", ") + std::string(IsaPathName(path));
  }
  for (const char* name : {"avx2", "V3", "", "baseline "}) {
    const std::string message = IsaPathErrorOf([name] { ParseIsaPath(name); });
    EXPECT_NE(message.find("no such instruction-set path"), std::string::npos) << name;
    EXPECT_NE(message.find("supported paths: " + supported), std::string::npos) << message;
  }
  const IsaPath before = ActiveIsaPath();
  for (IsaPath path : {IsaPath::V4, IsaPath::V3}) {
    const std::vector<IsaPath> paths = AvailableIsaPaths();
    if (std::find(paths.begin(), paths.end(), path) != paths.end()) continue;
    EXPECT_NE(IsaPathErrorOf([path] {
                ParseIsaPath(IsaPathName(path));
              }).find("this processor cannot run that path"),
              std::string::npos);
    EXPECT_NE(IsaPathErrorOf([path] { SelectIsaPath(path); }), "");
    EXPECT_EQ(ActiveIsaPath(), before);
  }
}

}  // namespace
}  // namespace tavrel
