#include "engine/streamed_engine.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "engine/reference_engine.h"
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

// Rows of L0 kept: when the last iteration multiplies its row p by L0, the
// first iteration has already read L0 up to row p + N WinRadRC (each
// iteration reads WinRadRC rows ahead of the one after it).
int L0RowsKept(const JobShape& s) { return std::max(1, s.iterations * s.winRadRC + 1); }

Threads ThreadsOf(const StreamedJob& job) {
  int count = job.threads;
#ifdef _OPENMP
  if (count <= 0) count = omp_get_max_threads();
#endif
  return Threads{std::max(count, 1)};
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

// Stage 0 makes L0, stage k the k-th iteration; the last one feeds the
// extraction.
class Pipeline {
 public:
  Pipeline(const JobShape& shape, const FloatArray& image0, const FloatArray& image1,
           Threads threads)
      : shape_(shape), l0_(shape_, image0, image1, L0RowsKept(shape_), threads) {
    RowSource* before = &l0_;
    for (int k = 0; k < shape_.iterations; ++k) {
      iterations_.push_back(std::make_unique<IterationStage>(shape_, *before, l0_, threads));
      before = iterations_.back().get();
    }
    last_ = before;
  }

  const float* FinalRow(int row) { return last_->Row(row); }

  static std::size_t Bytes(const JobShape& shape) {
    return InitialValuesStage::Bytes(shape, L0RowsKept(shape)) +
           static_cast<std::size_t>(shape.iterations) * IterationStage::Bytes(shape) +
           static_cast<std::size_t>(shape.columns) * 2 * sizeof(float);
  }

 private:
  JobShape shape_;
  InitialValuesStage l0_;
  std::vector<std::unique_ptr<IterationStage>> iterations_;
  RowSource* last_ = nullptr;
};

void Report(const JobProgress& progress, JobStage stage, int step, int steps) {
  if (progress) progress(stage, step, steps);
}

}  // namespace
}  // namespace streamed

void DispConfPlane::Row(int row, const float* dispConf) {
  std::copy_n(dispConf, static_cast<std::size_t>(dispConf_.columns()) * 2,
              &dispConf_.At(row, 0, 0));
}

void RunStreamed(const FloatArray& image0, const FloatArray& image1, const StreamedJob& job,
                 DispConfSink& sink, const JobProgress& progress) {
  ValidateJob(image0, image1, job.minDisparity, job.maxDisparity, job.winRadL0, job.winRadRC,
              job.winRadD);
  const streamed::JobShape shape =
      streamed::ShapeOf(image0.rows(), image0.columns(), image0.bands(), job);
  const streamed::Threads threads = streamed::ThreadsOf(job);
  streamed::Report(progress, JobStage::InitialMatchValues, 1, 1);
  streamed::Pipeline pipeline(shape, image0, image1, threads);

  std::vector<float> dispConf(static_cast<std::size_t>(shape.columns) * 2);
  const int d = shape.disparities;
  int reported = 0;
  const int extractionThreads =
      streamed::ThreadsFor(static_cast<std::ptrdiff_t>(shape.RowSize()), threads);
  for (int row = 0; row < shape.rows; ++row) {
    const float* values = pipeline.FinalRow(row);
#pragma omp parallel for num_threads(extractionThreads) schedule(static)
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
  }
  streamed::Report(progress, JobStage::Extraction, 1, 1);
}

double StreamedPeakBytes(int rows, int columns, int bands, const StreamedJob& job) {
  // The widest row any stage keeps is one of correlation's moments: columns x
  // disparities x 3 bands x 8 bytes for its sums. Beyond 2^40 bytes the sizes
  // could wrap; no machine holds such a row anyway.
  const double widest = static_cast<double>(columns) *
                        (static_cast<double>(job.maxDisparity) - job.minDisparity) * 3.0 *
                        std::max(bands, 1) * sizeof(double);
  if (!(widest < 0x1p40)) return std::numeric_limits<double>::infinity();
  return static_cast<double>(
      streamed::Pipeline::Bytes(streamed::ShapeOf(rows, columns, bands, job)));
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
  ValidateJob(image0, image1, job.minDisparity, job.maxDisparity, job.winRadL0, job.winRadRC,
              job.winRadD);
  if (!StreamedFits(image0.rows(), image0.columns(), image0.bands(), job)) {
    matcher.Run(image0, image1, job.minDisparity, job.maxDisparity, job.winRadL0, job.winRadRC,
                job.winRadD, job.iterations, job.maxScaler, job.sad ? 1 : 0, progress);
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
