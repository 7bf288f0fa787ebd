#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <numeric>
#include <optional>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "engine/fast_engine.h"
#include "engine/fast_isa.h"
#include "engine/fast_iteration_rows.h"
#include "engine/fast_parallel.h"
#include "engine/fast_running_sums.h"

// How a cooperative iteration is scheduled; the row work is in
// fast_iteration.cpp.
//
// Threads: the interior rows are split into one band per thread. A band can
// only start with the column sums of the rows above it, so a first, short
// phase (the threads sharing the columns) runs the column recurrence from the
// top and records its state at every band's first row, and copies the rows
// around each band boundary that both neighbours read. Then every thread
// finishes its band without waiting for the others. In a series of
// iterations, the thread of the first band also runs the next iteration's
// column recurrence over the rows it has just written, while they are in
// cache, and hands the state at the second band's first row on, so that the
// next iteration's first phase need not run it from the top. Within a
// series, the rows are shared out by the pace each band's thread showed in
// the iterations before, since cores need not be equally fast (shared or
// mixed processors) and the first band's thread does the extra work.
namespace tavrel::fast {
namespace {

constexpr int kMargin = kPixelMargin;

// The first band's share before any pace is known: its thread forms the
// carry besides (measured on the development machine).
constexpr double kFirstBandWeight = 7.0 / 8.0;

// Boundaries of weights.size() bands over the rows first .. end - 1: element
// t of the result is band t's first row, the last element is end. The rows
// go in proportion to the weights, each kept within a third and three times
// the mean, and every band gets at least one row (end - first must be at
// least the number of bands).
std::vector<int> ShareRows(int first, int end, const std::vector<double>& weights) {
  const std::size_t bands = weights.size();
  const double mean = std::accumulate(weights.begin(), weights.end(), 0.0) / bands;
  std::vector<double> bounded(bands);
  for (std::size_t t = 0; t < bands; ++t) {
    bounded[t] =
        std::isfinite(mean) && mean > 0.0 ? std::clamp(weights[t], mean / 3, mean * 3) : 1.0;
  }
  const double total = std::accumulate(bounded.begin(), bounded.end(), 0.0);
  std::vector<int> bandFirst(bands + 1);
  double before = 0.0;
  bandFirst[0] = first;
  for (std::size_t t = 1; t < bands; ++t) {
    before += bounded[t - 1];
    const int at = first + static_cast<int>(std::lround((end - first) * (before / total)));
    bandFirst[t] = std::clamp(at, bandFirst[t - 1] + 1, end - static_cast<int>(bands - t));
  }
  bandFirst[bands] = end;
  return bandFirst;
}

// Folds the rows per second that each band's thread managed into `pace`,
// as an even mean with what it held, so that one slow moment moves the
// shares only halfway.
void UpdatePace(const std::vector<int>& bandFirst, const std::vector<double>& seconds,
                std::vector<double>& pace) {
  const std::size_t bands = seconds.size();
  std::vector<double> now(bands);
  for (std::size_t t = 0; t < bands; ++t) {
    now[t] = (bandFirst[t + 1] - bandFirst[t]) / std::max(seconds[t], 1e-9);
  }
  if (pace.size() != bands) {
    pace = now;
    return;
  }
  for (std::size_t t = 0; t < bands; ++t) pace[t] = 0.5 * (pace[t] + now[t]);
}

bool InteriorEmpty(const StereoMatcher& m) {
  return m.Rows < 2 * kPixelMargin + 1 || m.Columns < 2 * kPixelMargin + 1 ||
         m.NumDisparities < 2 * kDisparityMargin + 1;
}

// Whether the carry was left by an iteration of this series.
bool SameSeries(const IterationCarry& carry, int bands, const Shape& s) {
  return carry.bands == bands && carry.rows == s.rows && carry.columns == s.columns &&
         carry.disparities == s.disparities && carry.radius == s.radiusRC;
}

Shape ShapeOf(const StereoMatcher& matcher) {
  Shape s;
  s.rows = matcher.Rows;
  s.columns = matcher.Columns;
  s.disparities = matcher.NumDisparities;
  s.minDisparity = matcher.MinDisparity;
  s.radiusRC = matcher.WinRadRC;
  s.radiusD = matcher.WinRadD;
  s.lastRow = s.rows - kMargin - 1;
  s.nc = s.columns - 2 * kMargin;
  s.nd = s.disparities - 2 * kDisparityMargin;
  s.ncs = PaddedCount(s.nc);
  s.rowStride = static_cast<std::ptrdiff_t>(s.columns) * s.disparities;
  return s;
}

// How one iteration shares its interior rows among bands, and the scratch
// the bands share: the column sums just above each band's first row, and the
// original rows bandFirst[t] - w - 1 .. bandFirst[t] + w - 1 around each
// boundary between bands (t >= 1), which both neighbours read.
struct BandPlan {
  Shape s;
  int bands = 1;
  int interiorRows = 0;
  bool carrying = false;       // a series whose next iteration takes a carry
  bool carried = false;        // this iteration takes the previous one's
  bool paced = false;          // rows shared by the pace of each band's thread
  std::vector<int> bandFirst;  // band t: rows bandFirst[t] .. bandFirst[t + 1] - 1
  int carryTarget = 0;         // where the next iteration's second band starts
  std::size_t planeCells = 0;  // a row's interior columns, every index
  std::size_t boundaryRows = 0;
  double* checkpoints = nullptr;
  float* boundaries = nullptr;

  float* BoundaryRow(int t, int row) const {
    return boundaries + (static_cast<std::size_t>(t - 1) * boundaryRows +
                         (row - (bandFirst[t] - s.radiusRC - 1))) *
                            planeCells;
  }
};

// The bands of this iteration. In a series, the rows go to the bands by the
// pace each band's thread has shown, so that a slower core, or the first
// band's thread with its extra work on the carry, is not left finishing
// while the others wait.
BandPlan PlanBands(const Shape& s, const IterationCarry* carry) {
  BandPlan plan;
  plan.s = s;
  int bands = 1;
#ifdef _OPENMP
  bands = omp_get_max_threads();
#endif
  plan.interiorRows = s.lastRow - kMargin + 1;
  bands = std::clamp(bands, 1, plan.interiorRows);
  plan.bands = bands;
  plan.carrying = carry != nullptr && bands > 1;
  const bool sameSeries = plan.carrying && SameSeries(*carry, bands, s);
  plan.paced = plan.carrying && plan.interiorRows >= 16 * bands;
  std::vector<double> weights(static_cast<std::size_t>(bands), 1.0);
  if (plan.paced && sameSeries && !carry->pace.empty()) {
    weights = carry->pace;
  } else if (plan.paced) {
    weights[0] = kFirstBandWeight;
  }
  plan.bandFirst = ShareRows(kMargin, s.lastRow + 1, weights);
  plan.carryTarget = plan.bandFirst[1];
  // The previous iteration formed the column sums where its successor's
  // second band was to start; this one's second band starts there.
  plan.carried =
      sameSeries && carry->firstRow > kMargin && carry->firstRow <= s.lastRow + 2 - bands;
  if (plan.carried && carry->firstRow != plan.bandFirst[1]) {
    const std::vector<int> rest =
        ShareRows(carry->firstRow, s.lastRow + 1, {weights.begin() + 1, weights.end()});
    std::copy(rest.begin(), rest.end(), plan.bandFirst.begin() + 1);
  }
  plan.planeCells = static_cast<std::size_t>(s.nc) * s.disparities;
  plan.boundaryRows = 2 * static_cast<std::size_t>(s.radiusRC) + 1;
  return plan;
}

// Takes the shared scratch of the plan from the calling thread's arena.
void TakeSharedScratch(BandPlan& plan) {
  const std::size_t boundaryCells = plan.planeCells * plan.boundaryRows * (plan.bands - 1);
  ThreadArena& shared = ThreadArena::Mine(1);
  shared.Reset(ThreadArena::Bytes<double>(plan.planeCells * plan.bands) +
               ThreadArena::Bytes<float>(boundaryCells));
  plan.checkpoints = shared.Take<double>(plan.planeCells * plan.bands);
  plan.boundaries = shared.Take<float>(boundaryCells);
}

// The next iteration's column sums at the second band's first row, formed by
// the first band's thread from the rows it has just written (steps kMargin
// .. carryTarget - 1 of the column recurrence).
class CarryForward {
 public:
  CarryForward(const BandPlan& plan, const float* Ln, double* sums)
      : plan_(plan), Ln_(Ln), sums_(sums) {}

  // Runs the recurrence as far as the rows up to doneRow allow.
  void Advance(int doneRow) {
    const Shape& s = plan_.s;
    const int w = s.radiusRC;
    const int startRows = std::min(w, plan_.interiorRows);
    if (!started_) {
      if (kMargin + startRows - 1 > doneRow) return;
      OnIsaPath<StartStridedSums>(sums_, Ln_ + s.CellOffset(kMargin, 0), s.rowStride, startRows,
                                  plan_.planeCells);
      started_ = true;
    }
    for (; step_ < plan_.carryTarget; ++step_) {
      const int enterRow = step_ + w;
      if (enterRow <= s.lastRow && enterRow > doneRow) break;
      const int leaveRow = step_ - w - 1;
      OnIsaPath<StepSumsOf<double>>(
          sums_, leaveRow >= kMargin ? Ln_ + s.CellOffset(leaveRow, 0) : nullptr,
          enterRow <= s.lastRow ? Ln_ + s.CellOffset(enterRow, 0) : nullptr, nullptr,
          plan_.planeCells);
    }
  }

 private:
  const BandPlan& plan_;
  const float* Ln_;
  double* sums_;
  bool started_ = false;
  int step_ = kMargin;
};

// First phase, one block of interior columns: the column recurrence from the
// top, its state recorded at every band's first row (band 1's taken from the
// carry when there is one), and the rows around each boundary copied.
void ReplayColumnBlock(const BandPlan& plan, const float* Ln, const double* carriedSums, int c0,
                       int width) {
  constexpr int kReplayAhead = 4;
  const Shape& s = plan.s;
  const int w = s.radiusRC;
  const std::size_t offset = static_cast<std::size_t>(c0) * s.disparities;
  const std::size_t cells = static_cast<std::size_t>(width) * s.disparities;
  double* state = plan.checkpoints + offset;
  OnIsaPath<StartStridedSums>(state, Ln + s.CellOffset(kMargin, c0), s.rowStride,
                              std::min(w, plan.interiorRows), cells);
  for (int t = 1; t < plan.bands; ++t) {
    double* next = plan.checkpoints + plan.planeCells * t + offset;
    const bool given = t == 1 && plan.carried;
    std::copy_n(given ? carriedSums + offset : state, cells, next);
    state = next;
    for (int r = plan.bandFirst[t - 1]; r < plan.bandFirst[t] && !given; ++r) {
      const int leaveRow = r - w - 1;
      const int enterRow = r + w;
      // A block's rows lie a whole image row apart, too far for the
      // hardware to guess: ask for the one entering a few steps later.
      if (enterRow + kReplayAhead <= s.lastRow) {
        RowPrefetch ahead;
        ahead.Add(Ln + s.CellOffset(enterRow + kReplayAhead, c0),
                  static_cast<std::ptrdiff_t>(cells));
        ahead.UpTo(1, 1);
      }
      OnIsaPath<StepSumsOf<double>>(
          state, leaveRow >= kMargin ? Ln + s.CellOffset(leaveRow, c0) : nullptr,
          enterRow <= s.lastRow ? Ln + s.CellOffset(enterRow, c0) : nullptr, nullptr, cells);
    }
    for (int row = plan.bandFirst[t] - w - 1; row < plan.bandFirst[t] + w; ++row) {
      if (row < kMargin || row > s.lastRow) continue;
      std::memcpy(plan.BoundaryRow(t, row) + offset, Ln + s.CellOffset(row, c0),
                  sizeof(float) * cells);
    }
  }
}

// Second phase, one band of rows on its own thread: the column pass runs
// w + 1 or w + 2 rows ahead of the row work, two rows at a time, so that the
// rows it subtracts are always ones that the row work has not yet
// overwritten; rows read across the band's edges come from the boundary
// copies.
class BandWorker {
 public:
  BandWorker(const BandPlan& plan, int t, float* Ln, const float* L0)
      : plan_(plan),
        s_(plan.s),
        t_(t),
        first_(plan.bandFirst[t]),
        end_(plan.bandFirst[t + 1]),
        sumRows_(static_cast<std::size_t>(plan.s.radiusRC) + 3),
        Ln_(Ln),
        L0_(L0),
        arena_(ThreadArena::Mine(0)) {
    arena_.Reset(RowScratch::Bytes(s_) + ThreadArena::Bytes<double>(plan.planeCells) +
                 ThreadArena::Bytes<float>(plan.planeCells * sumRows_));
    scratch_.emplace(s_, arena_);
    state_ = arena_.Take<double>(plan.planeCells);
    std::copy_n(plan.checkpoints + plan.planeCells * t, plan.planeCells, state_);
    columnSums_ = arena_.Take<float>(plan.planeCells * sumRows_);
  }

  // Finishes the band; the carry, when given, follows the rows as they are
  // written.
  void Run(CarryForward* carry) {
    const int w = s_.radiusRC;
    for (int q = first_; q < std::min(first_ + w + 1, end_); ++q) ColumnStep(q);
    for (int r = first_; r < end_; ++r) {
      const std::size_t rowOffset = static_cast<std::size_t>(r) * s_.rowStride;
      const int ahead = r + w + 1;
      // The stream from memory overlaps the arithmetic: the next row's L0
      // and an Ln row about to enter the column sums (asking for the pair of
      // rows a sweep takes one row earlier measured slower).
      RowPrefetch prefetch;
      if (r + 1 < end_) prefetch.Add(L0_ + rowOffset + s_.rowStride, s_.rowStride);
      if (ahead + w + 1 <= s_.lastRow) {
        prefetch.Add(Ln_ + s_.CellOffset(ahead + w + 1, 0),
                     static_cast<std::ptrdiff_t>(plan_.planeCells));
      }
      if ((r - first_) % 2 == 0) {
        if (ahead + 1 < end_) {
          ColumnSteps(ahead);
        } else if (ahead < end_) {
          ColumnStep(ahead);
        }
      }
      ProcessRow(s_, SumsOf(r), Ln_ + rowOffset, L0_ + rowOffset, *scratch_, prefetch);
      if (carry) carry->Advance(r);
    }
  }

 private:
  float* SumsOf(int row) { return columnSums_ + (row % sumRows_) * plan_.planeCells; }

  // The row leaving the column sums of row q must still hold its original
  // values; the one entering too.
  const float* LeaveOf(int q) const {
    const int leaveRow = q - s_.radiusRC - 1;
    if (leaveRow < kMargin) return nullptr;
    return leaveRow < first_ ? plan_.BoundaryRow(t_, leaveRow) : Ln_ + s_.CellOffset(leaveRow, 0);
  }
  const float* EnterOf(int q) const {
    const int enterRow = q + s_.radiusRC;
    if (enterRow > s_.lastRow) return nullptr;
    return enterRow >= end_ ? plan_.BoundaryRow(t_ + 1, enterRow)
                            : Ln_ + s_.CellOffset(enterRow, 0);
  }

  void ColumnStep(int q) {
    OnIsaPath<StepSumsOf<double>>(state_, LeaveOf(q), EnterOf(q), SumsOf(q), plan_.planeCells);
  }

  // Rows q and q + 1 in one sweep over the sums where no row is missing.
  void ColumnSteps(int q) {
    const float* leave1 = LeaveOf(q);
    const float* enter1 = EnterOf(q);
    const float* leave2 = LeaveOf(q + 1);
    const float* enter2 = EnterOf(q + 1);
    if (leave1 && enter1 && leave2 && enter2) {
      OnIsaPath<StepSumsTwice>(state_, leave1, enter1, SumsOf(q), leave2, enter2, SumsOf(q + 1),
                               plan_.planeCells);
    } else {
      ColumnStep(q);
      ColumnStep(q + 1);
    }
  }

  const BandPlan& plan_;
  const Shape& s_;
  int t_;
  int first_;
  int end_;
  // Rows of column sums kept: the one being finished and the up to w + 2
  // computed ahead of it.
  std::size_t sumRows_;
  float* Ln_;
  const float* L0_;
  ThreadArena& arena_;
  std::optional<RowScratch> scratch_;
  double* state_ = nullptr;
  float* columnSums_ = nullptr;
};

// Leaves what the next iteration of the series can use.
void HandOn(const BandPlan& plan, const std::vector<double>& seconds, IterationCarry& carry) {
  if (plan.paced) UpdatePace(plan.bandFirst, seconds, carry.pace);
  carry.firstRow = plan.carryTarget;
  carry.rows = plan.s.rows;
  carry.columns = plan.s.columns;
  carry.disparities = plan.s.disparities;
  carry.radius = plan.s.radiusRC;
  carry.bands = plan.bands;
}

}  // namespace

void Iterate(StereoMatcher& matcher, IterationCarry* carry) {
  ActiveIsaPath();  // chooses the path once, before any thread starts
  if (InteriorEmpty(matcher)) {
    matcher.Ln->Fill(0.0f);
    return;
  }
  const Shape s = ShapeOf(matcher);
  float* Ln = matcher.Ln->data();
  const float* L0 = matcher.L0->data();
  BandPlan plan = PlanBands(s, carry);
  // A pace shown in another series says nothing about this one.
  if (plan.carrying && !SameSeries(*carry, plan.bands, s)) carry->pace.clear();
  TakeSharedScratch(plan);
  // The carried sums are read in the first phase and replaced in the second.
  if (plan.carrying) {
    carry->firstRow = -1;
    carry->columnSums.resize(plan.planeCells);
  }
  double* carrySums = plan.carrying ? carry->columnSums.data() : nullptr;
  CarryForward forward(plan, Ln, carrySums);
  std::vector<double> seconds(static_cast<std::size_t>(plan.bands));
  constexpr int kColumnBlock = 32;
  const int columnBlocks = (s.nc + kColumnBlock - 1) / kColumnBlock;

  // Only the bands' scratch is allocated inside the region.
  RegionFailure failure;
#pragma omp parallel num_threads(plan.bands)
  {
#pragma omp for schedule(dynamic)
    for (int block = 0; block < columnBlocks; ++block) {
      const int c0 = block * kColumnBlock;
      ReplayColumnBlock(plan, Ln, carrySums, c0, std::min(kColumnBlock, s.nc - c0));
    }
    // Each band on its own thread; the loop hands band t to thread t.
#pragma omp for schedule(static, 1)
    for (int t = 0; t < plan.bands; ++t) {
      const auto started = std::chrono::steady_clock::now();
      failure.Run(
          [&] { BandWorker(plan, t, Ln, L0).Run(plan.carrying && t == 0 ? &forward : nullptr); });
      seconds[t] =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
    // The carried sums' last steps enter rows of the second band or beyond.
#pragma omp single nowait
    {
      if (plan.carrying) forward.Advance(s.lastRow);
    }
    // Rows outside the interior.
#pragma omp for schedule(static)
    for (int r = 0; r < s.rows; ++r) {
      if (r >= kMargin && r <= s.lastRow) continue;
      std::fill_n(Ln + static_cast<std::size_t>(r) * s.rowStride, s.rowStride, 0.0f);
    }
  }
  failure.Rethrow();
  if (plan.carrying) HandOn(plan, seconds, *carry);
}

}  // namespace tavrel::fast
