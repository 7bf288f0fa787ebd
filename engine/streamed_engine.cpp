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
#include "engine/reference_engine.h"
#include "engine/streamed_pipeline.h"
#include "engine/streamed_stages.h"

namespace tavrel {
namespace streamed {

bool JobShape::InteriorEmpty() const {
  return rows < 2 * kPixelMargin + 1 || columns < 2 * kPixelMargin + 1 ||
         disparities < 2 * kDisparityMargin + 1;
}

namespace {

JobShape ShapeOf(int rows, int columns, int bands, const StreamedJob& job) {
  JobShape s;
  s.rows = rows;
  s.columns = columns;
  s.disparities = job.maxDisparity - job.minDisparity;
  s.minDisparity = job.minDisparity;
  s.bands = bands;
  s.winRadL0 = job.winRadL0;
  s.winRadRC = job.winRadRC;
  s.winRadD = job.winRadD;
  s.iterations = std::max(job.iterations, 0);
  s.maxScaler = job.maxScaler;
  s.sad = job.sad;
  return s;
}

int ThreadCount(const StreamedJob& job) {
  int count = job.threads;
#ifdef _OPENMP
  if (count <= 0) count = omp_get_max_threads();
#endif
  return std::max(count, 1);
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

StereoParams ParamsOf(const StreamedJob& job) {
  StereoParams params;
  params.MinDisparity = job.minDisparity;
  params.MaxDisparity = job.maxDisparity;
  params.WinRadL0 = job.winRadL0;
  params.WinRadRC = job.winRadRC;
  params.WinRadD = job.winRadD;
  params.NumIterations = job.iterations;
  params.MaxScaler = job.maxScaler;
  params.Cost = job.sad ? MatchCost::Sad : MatchCost::Correlation;
  return params;
}

void DispConfPlane::Row(int row, const float* dispConf) {
  std::copy_n(dispConf, static_cast<std::size_t>(dispConf_.columns()) * 2,
              &dispConf_.At(row, 0, 0));
}

void RunStreamed(const FloatArray& image0, const FloatArray& image1, const StreamedJob& job,
                 DispConfSink& sink, const JobProgress& progress) {
  ValidateJob(image0, image1, ParamsOf(job));
  const streamed::JobShape shape =
      streamed::ShapeOf(image0.rows(), image0.columns(), image0.bands(), job);
  const int threads = streamed::ThreadCount(job);
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

double StreamedPeakBytes(int rows, int columns, int bands, const StreamedJob& job) {
  // The widest row any stage keeps is one of correlation's moments: columns x
  // disparities x 3 bands x 8 bytes for its sums, and no stage keeps more
  // than 32 such rows per iteration and 32 besides. Where that bound passes
  // 2^60 bytes the sizes could wrap; no machine holds such a job anyway.
  const double widest = static_cast<double>(columns) *
                        (static_cast<double>(job.maxDisparity) - job.minDisparity) * 3.0 *
                        std::max(bands, 1) * sizeof(double);
  const double bound = widest * 32.0 * (std::max(job.iterations, 0) + 1.0);
  if (!(bound < 0x1p60)) return std::numeric_limits<double>::infinity();
  // Besides the pipeline, one row of results on its way to the sink.
  const std::size_t resultRow = static_cast<std::size_t>(columns) * 2 * sizeof(float);
  return static_cast<double>(streamed::Pipeline::Bytes(streamed::ShapeOf(rows, columns, bands, job),
                                                       streamed::ThreadCount(job)) +
                             resultRow);
}

double VolumePeakBytes(int rows, int columns, const StreamedJob& job) {
  const double disparities = static_cast<double>(job.maxDisparity) - job.minDisparity;
  return 2.0 * rows * columns * disparities * sizeof(float);
}

namespace {

// Besides its volumes the volume engine holds per pixel the result maps, the
// iteration's line sums and the scratch grids of the initial match values.
constexpr double kVolumeEngineFloatsPerPixel = 24;
// The result maps a matcher keeps: disparity, confidence and display.
constexpr double kMapFloatsPerPixel = 3;

bool StreamedFits(int rows, int columns, int bands, const StreamedJob& job) {
  return StreamedPeakBytes(rows, columns, bands, job) <= VolumePeakBytes(rows, columns, job);
}

}  // namespace

double JobPeakBytes(int rows, int columns, int bands, const StreamedJob& job) {
  const double pixels = static_cast<double>(rows) * columns;
  if (StreamedFits(rows, columns, bands, job)) {
    return StreamedPeakBytes(rows, columns, bands, job) +
           pixels * kMapFloatsPerPixel * sizeof(float);
  }
  return VolumePeakBytes(rows, columns, job) + pixels * kVolumeEngineFloatsPerPixel * sizeof(float);
}

void RunMatcherJob(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
                   const StreamedJob& job, const JobProgress& progress) {
  ValidateJob(image0, image1, ParamsOf(job));
  if (!StreamedFits(image0.rows(), image0.columns(), image0.bands(), job)) {
    matcher.Run(image0, image1, ParamsOf(job), progress);
    return;
  }
  matcher.Release();
  try {
    matcher.MinDisparity = job.minDisparity;
    matcher.MaxDisparity = job.maxDisparity;
    matcher.Rows = image0.rows();
    matcher.Columns = image0.columns();
    matcher.NumDisparities = job.maxDisparity - job.minDisparity;
    matcher.WinRadD = job.winRadD;
    matcher.WinRadRC = job.winRadRC;
    matcher.DispConf = std::make_unique<FloatArray>(matcher.Columns, matcher.Rows, 2);
    matcher.DisplayMap = std::make_unique<FloatArray>(matcher.Columns, matcher.Rows, 1);
    DispConfPlane plane(*matcher.DispConf);
    RunStreamed(image0, image1, job, plane, progress);
    matcher.IterationCount = std::max(job.iterations, 0);
    matcher.DisparityToDisplay();
  } catch (...) {
    matcher.Release();
    throw;
  }
}

}  // namespace tavrel
