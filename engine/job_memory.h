#pragma once

#include <cstdint>

namespace tavrel {

// What decides a job's memory: the image, the disparity range, the band count
// and the windows whose scratch rows the stages keep.
struct JobShape {
  std::int64_t rows = 0;
  std::int64_t columns = 0;
  std::int64_t disparities = 0;
  int bands = 1;
  int winRadL0 = 0;
  int winRadRC = 0;
  bool useSad = true;
};

// Bytes a job holds at its peak when the fast engine runs it on `threads`
// threads: the two volumes, the per-pixel grids (images, result and display
// maps) and the scratch that each thread keeps for its stages. In double,
// which no shape can overflow.
double JobPeakBytes(const JobShape& shape, int threads);

// The threads the fast engine's stages use.
int EngineThreads();

}  // namespace tavrel
