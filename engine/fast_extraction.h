#pragma once

#include "engine/stereo_matcher.h"

namespace tavrel::fast {

// DispConf from Ln as the straightforward extraction finds it, to the bit,
// with the rows shared among all threads and each row's search run for
// several pixels at once in the vector units. Preconditions as for
// reference::ExtractDispConf; StereoMatcher checks them before calling in.
void ExtractDispConf(StageGrids& grids);

}  // namespace tavrel::fast
