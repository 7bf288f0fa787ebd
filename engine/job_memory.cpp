#include "engine/job_memory.h"

#include <algorithm>
#include <cmath>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace tavrel {
namespace {

// The disparity blocks of the initial match values hold 16 lanes.
double BlockedDisparities(double disparities) {
  return 16.0 * static_cast<std::int64_t>((disparities + 15) / 16);
}

}  // namespace

// The terms follow the scratch the fast stages take from their arenas, in
// floats. A thread's arena keeps what its largest stage took, so each thread
// counts the larger of its initial-match-value and iteration scratch; the
// calling thread's shared arena likewise.
double JobPeakBytes(const JobShape& shape, int threads) {
  constexpr double kFloatsPerPixelBesideVolumes = 24;
  const double rows = static_cast<double>(shape.rows);
  const double columns = static_cast<double>(shape.columns);
  const double disparities = static_cast<double>(shape.disparities);
  const double t = std::max(threads, 1);
  const double r = shape.winRadL0;
  const double w = shape.winRadRC;
  const double rowOfVolume = columns * disparities;

  const double volumes = 2 * rows * rowOfVolume;
  const double pixels = kFloatsPerPixelBesideVolumes * rows * columns;

  // Per thread: SAD streams every block over the whole row, with a ring of
  // raw rows; correlation shares its blocks among the threads, each block
  // streaming three moments per band.
  const double sadRows =
      (2 * r + 6) * columns * BlockedDisparities(disparities) + (r + 5) * rowOfVolume;
  // A thread's share of the blocks may begin and end within a block.
  const double blocks = BlockedDisparities(disparities) / 16;
  const double blocksPerThread = std::ceil(blocks / t) + (t > 1 ? 1 : 0);
  const double correlationRows = 3.0 * shape.bands * (2 * r + 6) * columns * 16 * blocksPerThread;
  const double iterationRows = (w + 8) * rowOfVolume;
  const double perThread = std::max(shape.useSad ? sadRows : correlationRows, iterationRows);

  // The calling thread: the images' window means, or the iteration's
  // checkpoints and band boundaries.
  const double means = shape.useSad ? 0.0 : 2.0 * shape.bands * rows * columns;
  const double boundaries = 2 * t * rowOfVolume + (2 * w + 1) * (t - 1) * rowOfVolume;
  const double shared = std::max(means, boundaries);

  return (volumes + pixels + t * perThread + shared) * sizeof(float);
}

int EngineThreads() {
#ifdef _OPENMP
  return omp_get_max_threads();
#else
  return 1;
#endif
}

}  // namespace tavrel
