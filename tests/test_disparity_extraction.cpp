#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/stereo_matcher.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

TEST(DisparityExtraction, RefusesToWorkWithoutGrids) {
  StereoMatcher empty;
  EXPECT_THROW(empty.ExtractDispConf(), std::logic_error);
}

}  // namespace
}  // namespace tavrel
