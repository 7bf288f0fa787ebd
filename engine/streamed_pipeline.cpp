#include "engine/streamed_pipeline.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "engine/stereo_matcher.h"

namespace tavrel::streamed {
namespace {

// Rows of L0 a group of `iterations` iterations keeps: when its last
// iteration multiplies its row p by L0, its first has already read L0 up to
// row p + iterations x WinRadRC (each iteration reads WinRadRC rows ahead of
// the one after it).
int L0RowsKept(const JobShape& s, int iterations) {
  return std::max(1, iterations * s.winRadRC + 1);
}

// The rows the first stage keeps: L0's span, and the box window of the
// group's first iteration when it reads its values from this stage.
int InitialRowsKept(const JobShape& s, int iterations) {
  return iterations > 0 ? std::max(L0RowsKept(s, iterations), BoxWindowRows(s))
                        : L0RowsKept(s, iterations);
}

// The rows iteration k of a group of `count` keeps: the next iteration's box
// window, or the one row the channel or the sink takes at a time.
int IterationRowsKept(const JobShape& s, int k, int count) {
  return k + 1 < count ? BoxWindowRows(s) : 1;
}

// How many rows a thread's group may run ahead of the next thread's. On
// 1282-pixel rows with 2 threads, leads of 1, 2, 4 and 8 ran equally fast
// (medians of 10 runs in turn within 5 % of each other, 4 the fastest);
// each row of lead costs two rows of memory.
constexpr int kChannelLead = 4;

RowChannel::Shape ChannelInto(const JobShape& s, int iterations) {
  return {s.RowSize(), BoxWindowRows(s), L0RowsKept(s, iterations), kChannelLead};
}

// What making L0 costs, counted in iterations, as measured on one thread
// on a 450 x 375 scene with 60 disparities (vector row makers, AVX2, the
// iterations' lines in vectors of pixels): SAD about 1.15 (one band) to 1.6
// (three bands), correlation of whole intensities about 2.5 and 6.6, since
// each band adds a moment per cell and its box mean, and a square root and
// a division per cell (fractional intensities take three moments per band,
// about 3.1 and 9.5). Stored rows cost nothing to take. Only the share of
// work among threads depends on it: on a 1282 x 300 x 175 correlation job
// with 3 bands on 2 threads, the weight 6.6 took 0.92 of the time 9.5 took
// (medians of 8 runs in turn, faster in 7).
double HeadWeight(const JobShape& s, bool fromImages) {
  if (!fromImages) return 0.0;
  return s.sad ? 0.9 + 0.25 * s.bands : 2.1 * s.bands + 0.4;
}

Schedule ScheduleOf(const JobShape& s, int threads, bool fromImages) {
  // Stored rows make no group of their own: every group needs an iteration.
  const int stages = fromImages ? s.iterations + 1 : std::max(s.iterations, 1);
  const int groups = std::min(std::max(threads, 1), stages);
  Schedule schedule;
  // A pass of one stage (ComputeL0 alone, a single Iterate) keeps to one
  // thread: split among threads, its rows' pieces meet at every row, which
  // gained nothing on an idle 2-core machine (41 ms either way for a
  // 450 x 375 x 60 iteration) and stalled for seconds on a loaded one.
  schedule.rowThreads = Threads{groups == 1 ? 1 : std::max(1, threads / groups)};
  const double head = HeadWeight(s, fromImages);
  const double total = head + s.iterations;
  double done = head;
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

std::atomic<long> allocationsBeforeFailure{0};

// Counts one allocation of a stage or channel against FailNthAllocation.
void TakeAllocation() {
  long left = allocationsBeforeFailure.load();
  while (left > 0 && !allocationsBeforeFailure.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 1) throw std::bad_alloc();
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

}  // namespace

void FailNthAllocation(long n) { allocationsBeforeFailure.store(n); }

Pipeline::Pipeline(const JobShape& shape, const FloatArray& image0, const FloatArray& image1,
                   int threads, std::function<float*(int)> wholeL0)
    : shape_(shape), schedule_(ScheduleOf(shape_, threads, true)) {
  Build(&image0, &image1, std::move(wholeL0), nullptr, nullptr);
}

Pipeline::Pipeline(const JobShape& shape, RowSource& values, RowSource& l0, int threads,
                   int lastKept)
    : shape_(shape), schedule_(ScheduleOf(shape_, threads, false)), lastKept_(lastKept) {
  Build(nullptr, nullptr, {}, &values, &l0);
}

void Pipeline::Build(const FloatArray* image0, const FloatArray* image1,
                     std::function<float*(int)> wholeL0, RowSource* values, RowSource* l0) {
  const int groups = static_cast<int>(schedule_.iterations.size());
  for (int g = 0; g < groups; ++g) {
    Group& group = groups_.emplace_back();
    const int count = schedule_.iterations[g];
    TakeAllocation();
    if (g == 0 && image0) {
      group.initial = std::make_unique<InitialValuesStage>(
          shape_, *image0, *image1, InitialRowsKept(shape_, count), schedule_.rowThreads);
      if (wholeL0) {
        group.initial->WriteWholeRows(std::move(wholeL0));
        group.keepsWholeL0 = true;
      }
      group.l0 = group.last = group.initial.get();
    } else if (g == 0) {
      group.l0 = l0;
      group.last = values;
    } else {
      // Group g - 1 pushes into channels_[g - 1].
      channels_.push_back(std::make_unique<RowChannel>(ChannelInto(shape_, count)));
      group.input = channels_.back().get();
      group.l0 = &group.input->l0();
      group.last = &group.input->values();
    }
    if (count > 0) {
      TakeAllocation();
      group.scratch = std::make_unique<IterationScratch>(shape_, schedule_.rowThreads);
    }
    for (int k = 0; k < count; ++k) {
      TakeAllocation();
      const bool last = g + 1 == groups && k + 1 == count;
      group.iterations.push_back(std::make_unique<IterationStage>(
          shape_, *group.last, *group.l0, schedule_.rowThreads,
          last ? lastKept_ : IterationRowsKept(shape_, k, count), *group.scratch));
      group.last = group.iterations.back().get();
    }
  }
}

// The stages skip the rows of their source below the interior (all of
// them when it is empty); they are taken all the same, so that the group
// before never waits for ever to hand them on, and a caller who keeps L0
// whole gets every row of it.
void Pipeline::Group::Drain(int rows) {
  if (rows <= 0) return;
  if (input) input->values().Row(rows - 1);
  if (initial && keepsWholeL0) initial->Row(rows - 1);
}

void Pipeline::Run(const RowSink& row) {
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
          group.Drain(shape_.rows);
        } catch (...) {
          failure.Record(std::current_exception());
        }
      });
    }
    for (int r = 0; r < shape_.rows; ++r) row(r, groups_.back().last->Row(r));
    groups_.back().Drain(shape_.rows);
  } catch (...) {
    failure.Record(std::current_exception());
  }
  for (auto& worker : workers) worker.join();
  failure.RethrowIfAny();
}

std::size_t Pipeline::Bytes(const JobShape& shape, int threads) {
  return Bytes(shape, ScheduleOf(shape, threads, true), true, 1);
}

std::size_t Pipeline::StoredBytes(const JobShape& shape, int threads, int lastKept) {
  return Bytes(shape, ScheduleOf(shape, threads, false), false, lastKept);
}

std::size_t Pipeline::Bytes(const JobShape& shape, const Schedule& schedule, bool fromImages,
                            int lastKept) {
  const int groups = static_cast<int>(schedule.iterations.size());
  std::size_t bytes = 0;
  for (int g = 0; g < groups; ++g) {
    const int count = schedule.iterations[g];
    if (g == 0 && fromImages) {
      bytes += InitialValuesStage::Bytes(shape, InitialRowsKept(shape, count));
    } else if (g > 0) {
      bytes += RowChannel::Bytes(ChannelInto(shape, count));
    }
    if (count > 0) bytes += IterationScratch::Bytes(shape, schedule.rowThreads);
    for (int k = 0; k < count; ++k) {
      const bool last = g + 1 == groups && k + 1 == count;
      bytes += IterationStage::Bytes(shape, last ? lastKept : IterationRowsKept(shape, k, count));
    }
    // A row of zeros for the L0 rows outside the interior, which it hands on.
    if (g + 1 < groups) bytes += shape.RowSize() * sizeof(float);
  }
  return bytes;
}

}  // namespace tavrel::streamed
