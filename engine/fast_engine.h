#pragma once

#include <vector>

#include "engine/float_array.h"
#include "engine/stereo_backend.h"
#include "engine/stereo_matcher.h"

// The fast implementation of the heavy stages: the same results as the
// straightforward ones in reference_engine.h, to the bit and for any thread
// count, from passes that use every core and the vector units and stream each
// volume once per stage. The preconditions are those of the matching
// reference functions; StereoMatcher's members check them before calling in.
namespace tavrel::fast {

void ComputeL0(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
               int winRadL0, float maxScaler, MatchCost cost);
// What one iteration hands to the next of the same series: the column sums
// of the box sum at the first row of the second band of rows, formed from the
// rows as the iteration wrote them. The next iteration then starts the second
// band from them instead of running the column sums down from the top.
// Between the two calls nothing may change the matcher.
//
// The carry also keeps the pace of each band's thread (rows per second,
// smoothed over the series), by which the next iteration shares out the
// rows. It only moves work between threads: any pace gives the same values.
struct IterationCarry {
  std::vector<double> columnSums;
  int firstRow = -1;  // the row they belong to; -1: nothing carried
  int rows = 0, columns = 0, disparities = 0, radius = 0, bands = 0;
  std::vector<double> pace;
};

// One iteration; with a carry, takes what the previous iteration of the
// series left there, if it fits, and leaves what the next one can use.
void Iterate(StereoMatcher& matcher, IterationCarry* carry = nullptr);
void ExtractDispConf(StereoMatcher& matcher);

// The fast stages keep their scratch per thread from one call to the next;
// this gives it back (the next call takes it anew), so that a measurement
// of a job's memory can start from none.
void ReleaseScratch();

}  // namespace tavrel::fast
