#include "engine/fast_engine.h"
#include "engine/reference_engine.h"

namespace tavrel::fast {

// Pixels are independent and the per-pixel search is cheap next to reading
// the volume, so the straightforward row extraction is shared among threads.
void ExtractDispConf(StereoMatcher& matcher) {
  const int rows = matcher.Rows;
#pragma omp parallel for schedule(static)
  for (int r = 0; r < rows; ++r) reference::ExtractDispConfRow(matcher, r);
}

}  // namespace tavrel::fast
