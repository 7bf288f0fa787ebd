#pragma once

#include "engine/float_array.h"
#include "engine/stereo_matcher.h"

// The fast implementation of the heavy stages: the same results as the
// straightforward ones in reference_engine.h, to the bit and for any thread
// count, from passes that use every core and the vector units and stream each
// volume once per stage. The preconditions are those of the matching
// reference functions; StereoMatcher's members check them before calling in.
namespace tavrel::fast {

void ComputeL0(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
               int winRadL0, float maxScaler, int useSad);
void Iterate(StereoMatcher& matcher);
void ExtractDispConf(StereoMatcher& matcher);

}  // namespace tavrel::fast
