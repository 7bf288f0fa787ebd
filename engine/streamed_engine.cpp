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
#include "engine/streamed_channel.h"
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

// Rows of L0 a group of `iterations` iterations keeps: when its last
// iteration multiplies its row p by L0, its first has already read L0 up to
// row p + iterations x WinRadRC (each iteration reads WinRadRC rows ahead of
// the one after it).
int L0RowsKept(const JobShape& s, int iterations) {
  return std::max(1, iterations * s.winRadRC + 1);
}

// Slots of the channel between two threads' groups of stages.
constexpr int kChannelSlots = 8;

int ThreadCount(const StreamedJob& job) {
  int count = job.threads;
#ifdef _OPENMP
  if (count <= 0) count = omp_get_max_threads();
#endif
  return std::max(count, 1);
}

// What making L0 costs, counted in iterations, as measured on a 450 x 375
// scene with 60 disparities: SAD about 1.4 (one band) to 1.6 (three bands),
// correlation about 5.5 to 9.6, since each band adds three moments per cell
// and their box means. Only the share of work among threads depends on it.
double InitialValuesWeight(const JobShape& s) { return s.sad ? 1.5 : 3.5 + 2.0 * s.bands; }

// How the threads share the job: the stages split into one group per
// thread, run as a pipeline (group 0 makes L0 and its first iterations,
// each group after it the next iterations, the last one the extraction
// too), the iterations shared so that the groups' work is about even.
// Threads beyond one per stage split each row's columns instead.
struct Schedule {
  std::vector<int> iterations;  // per group
  Threads rowThreads;
};

Schedule ScheduleOf(const JobShape& s, int threads) {
  const int groups = std::min(threads, s.iterations + 1);
  Schedule schedule;
  schedule.rowThreads = Threads{std::max(1, threads / groups)};
  const double total = InitialValuesWeight(s) + s.iterations;
  double done = InitialValuesWeight(s);
  int given = 0;
  for (int g = 0; g < groups; ++g) {
    int count = 0;
    if (g == groups - 1) {
      count = s.iterations - given;
    } else {
      // Iterations up to the group's share of the work, leaving at least one
      // for every later group.
      const double target = total * (g + 1) / groups;
      const int room = s.iterations - given - (groups - 1 - g);
      const double wanted = std::ceil(target - done - 0.5);
      count = static_cast<int>(std::clamp(wanted, 0.0, static_cast<double>(room)));
      done += count;
    }
    schedule.iterations.push_back(count);
    given += count;
  }
  return schedule;
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

// The first failure of any thread: it cancels every channel, so that no
// thread waits for ever, and is the one rethrown after all have stopped
// (the others then fail only because of the cancel).
class FirstFailure {
 public:
  explicit FirstFailure(std::vector<std::unique_ptr<RowChannel>>& channels) : channels_(channels) {}

  void Record(std::exception_ptr error) {
    {
      std::lock_guard lock(mutex_);
      if (!first_) first_ = error;
    }
    for (auto& channel : channels_) channel->Cancel();
  }
  void RethrowIfAny() {
    if (first_) std::rethrow_exception(first_);
  }

 private:
  std::vector<std::unique_ptr<RowChannel>>& channels_;
  std::mutex mutex_;
  std::exception_ptr first_;
};

// The job's stages in their groups, one per thread, joined by channels.
class Pipeline {
 public:
  Pipeline(const JobShape& shape, const FloatArray& image0, const FloatArray& image1, int threads)
      : shape_(shape), schedule_(ScheduleOf(shape_, threads)) {
    const int groups = static_cast<int>(schedule_.iterations.size());
    for (int g = 0; g < groups; ++g) {
      Group& group = groups_.emplace_back();
      const int count = schedule_.iterations[g];
      if (g == 0) {
        group.initial = std::make_unique<InitialValuesStage>(
            shape_, image0, image1, L0RowsKept(shape_, count), schedule_.rowThreads);
        group.l0 = group.last = group.initial.get();
      } else {
        group.input = std::make_unique<ChannelSource>(*channels_.back(), shape_.RowSize(),
                                                      L0RowsKept(shape_, count));
        group.l0 = &group.input->l0();
        group.last = &group.input->values();
      }
      for (int k = 0; k < count; ++k) {
        group.iterations.push_back(
            std::make_unique<IterationStage>(shape_, *group.last, *group.l0, schedule_.rowThreads));
        group.last = group.iterations.back().get();
      }
      if (g + 1 < groups) {
        channels_.push_back(std::make_unique<RowChannel>(kChannelSlots, shape_.RowSize()));
      }
    }
  }

  // Runs every group but the last on a thread of its own and hands each
  // row of the last group to `row`, on the calling thread.
  void Run(const std::function<void(int, const float*)>& row) {
    FirstFailure failure(channels_);
    std::vector<std::thread> workers;
    const int groups = static_cast<int>(groups_.size());
    try {
      for (int g = 0; g + 1 < groups; ++g) {
        workers.emplace_back([this, g, &failure] {
          try {
            // L0 is 0 on the rows outside the interior, where no iteration
            // reads it; reading it there would pull rows from the group's
            // source before its first iteration has taken them.
            Group& group = groups_[g];
            const std::vector<float> zeros(shape_.RowSize(), 0.0f);
            for (int r = 0; r < shape_.rows; ++r) {
              const float* values = group.last->Row(r);
              const bool interior = r >= kPixelMargin && r <= shape_.rows - kPixelMargin - 1;
              channels_[g]->Push(values, interior ? group.l0->Row(r) : zeros.data());
            }
          } catch (...) {
            failure.Record(std::current_exception());
          }
        });
      }
      for (int r = 0; r < shape_.rows; ++r) row(r, groups_.back().last->Row(r));
    } catch (...) {
      failure.Record(std::current_exception());
    }
    for (auto& worker : workers) worker.join();
    failure.RethrowIfAny();
  }

  static std::size_t Bytes(const JobShape& shape, int threads) {
    const Schedule schedule = ScheduleOf(shape, threads);
    const int groups = static_cast<int>(schedule.iterations.size());
    std::size_t bytes = static_cast<std::size_t>(shape.columns) * 2 * sizeof(float);
    for (int g = 0; g < groups; ++g) {
      const int count = schedule.iterations[g];
      bytes += g == 0 ? InitialValuesStage::Bytes(shape, L0RowsKept(shape, count))
                      : ChannelSource::Bytes(shape.RowSize(), L0RowsKept(shape, count));
      bytes += static_cast<std::size_t>(count) * IterationStage::Bytes(shape);
      if (g + 1 < groups) {
        bytes +=
            RowChannel::Bytes(kChannelSlots, shape.RowSize()) + shape.RowSize() * sizeof(float);
      }
    }
    return bytes;
  }

 private:
  struct Group {
    std::unique_ptr<InitialValuesStage> initial;  // group 0
    std::unique_ptr<ChannelSource> input;         // the others
    std::vector<std::unique_ptr<IterationStage>> iterations;
    RowSource* l0 = nullptr;
    RowSource* last = nullptr;
  };

  JobShape shape_;
  Schedule schedule_;
  std::vector<std::unique_ptr<RowChannel>> channels_;
  std::vector<Group> groups_;
};

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
  return static_cast<double>(streamed::Pipeline::Bytes(streamed::ShapeOf(rows, columns, bands, job),
                                                       streamed::ThreadCount(job)));
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
