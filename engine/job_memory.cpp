#include "engine/job_memory.h"

#include <algorithm>
#include <limits>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "engine/fast_match_rows.h"
#include "engine/isa_path.h"
#include "engine/streamed_volumes.h"

namespace tavrel {
namespace {

// Disparity and confidence, display map.
constexpr double kMapFloatsPerPixel = 3;

// Per thread, the extraction turns 32 pixels' values index-major.
constexpr double kExtractionPixels = 32;

// The stages, channels and threads' own state, beside the rows they hold.
constexpr double kSmallObjects = 64 * 1024;

}  // namespace

JobShape MemoryShapeOf(std::int64_t rows, std::int64_t columns, int bands,
                       const StereoParams& params) {
  JobShape shape;
  shape.rows = rows;
  shape.columns = columns;
  shape.disparities = static_cast<std::int64_t>(params.MaxDisparity) - params.MinDisparity;
  shape.bands = bands;
  shape.winRadL0 = params.WinRadL0;
  shape.winRadRC = params.WinRadRC;
  shape.useSad = params.Cost == MatchCost::Sad;
  shape.iterations = params.NumIterations;
  shape.winRadD = params.WinRadD;
  return shape;
}

bool WholeIntensities(const FloatArray& image0, const FloatArray& image1) {
  return fast::WholeIntensities(image0, -255.0f) && fast::WholeIntensities(image1, -255.0f);
}

bool CorrelationOfWholeIntensities(const FloatArray& image0, const FloatArray& image1, bool sad) {
  return !sad && WholeIntensities(image0, image1);
}

JobShape MemoryShapeOf(const FloatArray& image0, const FloatArray& image1,
                       const StereoParams& params) {
  JobShape shape = MemoryShapeOf(image0.rows(), image0.columns(), image0.bands(), params);
  shape.wholeIntensities = CorrelationOfWholeIntensities(image0, image1, shape.useSad);
  return shape;
}

double JobPeakBytes(const JobShape& shape, int threads) {
  const double images = 2.0 * std::max(shape.bands, 1) * static_cast<double>(shape.rows) *
                        static_cast<double>(shape.columns) * sizeof(float);
  return MatcherPeakBytes(shape, threads) + images;
}

double MatcherPeakBytes(const JobShape& shape, int threads) {
  ActiveIsaPath();  // the rows' scratch differs between paths: the job's path
  const double rows = static_cast<double>(shape.rows);
  const double columns = static_cast<double>(shape.columns);
  const double disparities = static_cast<double>(shape.disparities);
  const double t = std::max(threads, 1);
  const double volumes = 2 * rows * columns * disparities;
  const double grids = kMapFloatsPerPixel * rows * columns;
  const double extraction = t * kExtractionPixels * disparities;
  const double floats = (volumes + grids + extraction) * sizeof(float) + kSmallObjects;
  // A row of the volume is what the passes' rings hold; where it cannot be
  // addressed no machine holds the volumes anyway.
  const double rowBytes = columns * disparities * 3.0 * std::max(shape.bands, 1) * sizeof(double);
  if (!(rowBytes * 64.0 * (std::max(shape.iterations, 0) + 1.0) < 0x1p60) ||
      shape.rows > std::numeric_limits<int>::max() ||
      shape.disparities > std::numeric_limits<int>::max()) {
    return floats;
  }
  streamed::JobShape s;
  s.rows = static_cast<int>(shape.rows);
  s.columns = static_cast<int>(shape.columns);
  s.disparities = static_cast<int>(shape.disparities);
  s.bands = std::max(shape.bands, 1);
  s.winRadL0 = shape.winRadL0;
  s.winRadRC = shape.winRadRC;
  s.winRadD = shape.winRadD;
  s.iterations = std::max(shape.iterations, 0);
  s.sad = shape.useSad;
  s.wholeIntensities = shape.wholeIntensities;
  return floats + static_cast<double>(streamed::VolumePassBytes(s, static_cast<int>(t)));
}

int EngineThreads() {
#ifdef _OPENMP
  return omp_get_max_threads();
#else
  return 1;
#endif
}

}  // namespace tavrel
