#include "engine/streamed_engine.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "engine/isa_path.h"
#include "engine/job_memory.h"
#include "engine/reference_engine.h"
#include "engine/streamed_pipeline.h"
#include "engine/streamed_stages.h"

namespace tavrel {
namespace streamed {

bool JobShape::InteriorEmpty() const {
  return rows < 2 * kPixelMargin + 1 || columns < 2 * kPixelMargin + 1 ||
         disparities < 2 * kDisparityMargin + 1;
}

JobShape ShapeOf(int rows, int columns, int bands, const StereoParams& p) {
  JobShape s;
  s.rows = rows;
  s.columns = columns;
  // Wraps (defined since C++20) for ranges no job may have; the byte
  // figures below test the range itself.
  s.disparities = static_cast<int>(static_cast<std::int64_t>(p.MaxDisparity) - p.MinDisparity);
  s.minDisparity = p.MinDisparity;
  s.bands = bands;
  s.winRadL0 = p.WinRadL0;
  s.winRadRC = p.WinRadRC;
  s.winRadD = p.WinRadD;
  s.iterations = std::max(p.NumIterations, 0);
  s.maxScaler = p.MaxScaler;
  s.sad = p.Cost == MatchCost::Sad;
  return s;
}

JobShape ShapeOf(const FloatArray& image0, const FloatArray& image1, const StereoParams& params) {
  JobShape s = ShapeOf(image0.rows(), image0.columns(), image0.bands(), params);
  s.wholeIntensities = CorrelationOfWholeIntensities(image0, image1, s.sad);
  return s;
}

int BoxWindowRows(const JobShape& shape) { return StreamedBox::WindowRows(shape.winRadRC); }

namespace {

int ThreadCount(int threads) {
#ifdef _OPENMP
  if (threads <= 0) threads = omp_get_max_threads();
#endif
  return std::max(threads, 1);
}

// The strongest local maximum of one pixel's values, as the straightforward
// extraction finds it: the lowest index wins a tie, nothing at or below
// -1.0 is taken, and a pixel without a peak gets 0 and 0.
reference::Peak FindPeak(const float* values, int count) {
  reference::Peak peak;
  float best = -1.0f;
  for (int d = 1; d <= count - 2; ++d) {
    const float cur = values[d];
    if (!(cur > best && cur >= values[d - 1] && cur >= values[d + 1])) continue;
    best = cur;
    peak = reference::PeakAt(values, d);
  }
  return peak;
}

void Report(const JobProgress& progress, JobStage stage, int step, int steps) {
  if (progress) progress(stage, step, steps);
}

}  // namespace
}  // namespace streamed

void DispConfPlane::Row(int row, const float* dispConf) {
  std::copy_n(dispConf, static_cast<std::size_t>(dispConf_.columns()) * 2,
              &dispConf_.At(row, 0, 0));
}

void RunStreamed(const FloatArray& image0, const FloatArray& image1, const StereoParams& params,
                 int threads, DispConfSink& sink, const JobProgress& progress) {
  ValidateJob(image0, image1, params);
  const streamed::JobShape shape = streamed::ShapeOf(image0, image1, params);
  threads = streamed::ThreadCount(threads);
  ActiveIsaPath();  // chooses the kernels' path once, before any thread starts
  streamed::Report(progress, JobStage::InitialMatchValues, 1, 1);
  streamed::Pipeline pipeline(shape, image0, image1, threads);

  std::vector<float> dispConf(static_cast<std::size_t>(shape.columns) * 2);
  const int d = shape.disparities;
  int reported = 0;
  pipeline.Run([&](int row, const float* values) {
    for (int c = 0; c < shape.columns; ++c) {
      const reference::Peak peak =
          streamed::FindPeak(values + static_cast<std::ptrdiff_t>(c) * d, d);
      dispConf[2 * static_cast<std::size_t>(c)] =
          static_cast<float>(shape.minDisparity + peak.offset);
      dispConf[2 * static_cast<std::size_t>(c) + 1] = static_cast<float>(peak.confidence);
    }
    sink.Row(row, dispConf.data());
    const int done =
        static_cast<int>(static_cast<std::int64_t>(row + 1) * shape.iterations / shape.rows);
    while (reported < done) {
      ++reported;
      streamed::Report(progress, JobStage::Iteration, reported, shape.iterations);
    }
  });
  streamed::Report(progress, JobStage::Extraction, 1, 1);
}

namespace streamed {
namespace {

double PeakBytes(const JobShape& s, const StereoParams& params, int threads) {
  ActiveIsaPath();  // the rows' scratch differs between paths: the job's path
  // The widest row any stage keeps is one of correlation's moments: columns x
  // disparities x 3 bands x 8 bytes for its sums, and no stage keeps more
  // than 32 such rows per iteration and 32 besides. Where that bound passes
  // 2^60 bytes the sizes could wrap; no machine holds such a job anyway.
  const double widest = static_cast<double>(s.columns) *
                        (static_cast<double>(params.MaxDisparity) - params.MinDisparity) * 3.0 *
                        std::max(s.bands, 1) * sizeof(double);
  const double bound = widest * 32.0 * (s.iterations + 1.0);
  if (!(bound < 0x1p60)) return std::numeric_limits<double>::infinity();
  // Besides the pipeline, one row of results on its way to the sink.
  const std::size_t resultRow = static_cast<std::size_t>(s.columns) * 2 * sizeof(float);
  return static_cast<double>(Pipeline::Bytes(s, ThreadCount(threads)) + resultRow);
}

// The result maps a matcher keeps: disparity, confidence and display.
constexpr double kMapFloatsPerPixel = 3;

double StreamedJobBytes(const JobShape& s, const StereoParams& params, int threads) {
  const double pixels = static_cast<double>(s.rows) * s.columns;
  return PeakBytes(s, params, threads) + pixels * kMapFloatsPerPixel * sizeof(float);
}

double MatcherJobBytes(const JobShape& s, const StereoParams& params, int threads) {
  tavrel::JobShape shape = MemoryShapeOf(s.rows, s.columns, s.bands, params);
  shape.wholeIntensities = s.wholeIntensities;
  return MatcherPeakBytes(shape, ThreadCount(threads));
}

bool RunsStreamed(const JobShape& s, const StereoParams& params, int threads) {
  return StreamedJobBytes(s, params, threads) <= MatcherJobBytes(s, params, threads);
}

double JobBytes(const JobShape& s, const StereoParams& params, int threads) {
  return std::min(StreamedJobBytes(s, params, threads), MatcherJobBytes(s, params, threads));
}

}  // namespace
}  // namespace streamed

double StreamedPeakBytes(int rows, int columns, int bands, const StereoParams& params,
                         int threads) {
  return streamed::PeakBytes(streamed::ShapeOf(rows, columns, bands, params), params, threads);
}

double StreamedPeakBytes(const FloatArray& image0, const FloatArray& image1,
                         const StereoParams& params, int threads) {
  return streamed::PeakBytes(streamed::ShapeOf(image0, image1, params), params, threads);
}

double VolumePeakBytes(int rows, int columns, const StereoParams& params) {
  const double disparities = static_cast<double>(params.MaxDisparity) - params.MinDisparity;
  return 2.0 * rows * columns * disparities * sizeof(float);
}

bool JobRunsStreamed(int rows, int columns, int bands, const StereoParams& params, int threads) {
  return streamed::RunsStreamed(streamed::ShapeOf(rows, columns, bands, params), params, threads);
}

bool JobRunsStreamed(const FloatArray& image0, const FloatArray& image1, const StereoParams& params,
                     int threads) {
  return streamed::RunsStreamed(streamed::ShapeOf(image0, image1, params), params, threads);
}

double JobPeakBytes(int rows, int columns, int bands, const StereoParams& params, int threads) {
  return streamed::JobBytes(streamed::ShapeOf(rows, columns, bands, params), params, threads);
}

double JobPeakBytes(const FloatArray& image0, const FloatArray& image1, const StereoParams& params,
                    int threads) {
  return streamed::JobBytes(streamed::ShapeOf(image0, image1, params), params, threads);
}

void RunMatcherJob(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
                   const StereoParams& params, int threads, const JobProgress& progress) {
  ValidateJob(image0, image1, params);
  if (!JobRunsStreamed(image0, image1, params, threads)) {
    matcher.Run(image0, image1, params, progress);
    return;
  }
  matcher.RunForResults(image0, params, true, [&](FloatArray* dispConf) {
    DispConfPlane plane(*dispConf);
    RunStreamed(image0, image1, params, threads, plane, progress);
  });
}

}  // namespace tavrel
