#include "engine/fast_box_mean.h"

#include <cstring>
#include <vector>

#include "engine/fast_isa.h"
#include "engine/fast_running_sums.h"
#include "engine/vector_tail.h"

namespace tavrel::fast {
namespace {

// out[k] = in[k] / w for k < n (in and out may be the same): whole vectors,
// the last part padded to one.
TAVREL_KERNEL void Divide(const float* in, float w, float* out, std::size_t n) {
  const std::size_t whole = n / kTailWidth * kTailWidth;
  for (std::size_t k = 0; k < whole; k += kTailWidth) {
    float part[kTailWidth];
    for (int j = 0; j < kTailWidth; ++j) part[j] = in[k + j] / w;
    std::memcpy(out + k, part, sizeof part);
  }
  if (whole == n) return;
  TailLanes tail(in + whole, n - whole, 0.0f);
  for (float& lane : tail.lanes) lane = lane / w;
  tail.CopyTo(out + whole, n - whole);
}

// Lanes in groups of kGroup keep their sums in registers along the whole row,
// one group after another; each lane's sum moves exactly as it would alone.
constexpr int kGroup = StreamingBoxMean::kGroupLanes;

// The vectors a group's sums and values take: the sums' type filling 32
// bytes, and as many floats.
template <typename Sum>
struct GroupVectors;
template <>
struct GroupVectors<double> {
  using Sums = double __attribute__((vector_size(32)));
  using Floats = float __attribute__((vector_size(16)));
};
template <>
struct GroupVectors<float> {
  using Sums = float __attribute__((vector_size(32)));
  using Floats = float __attribute__((vector_size(32)));
};

// The group's sums as floats, divided by w in vectors of 8 (as Divide does),
// stored at `to`. Halves of 4 are joined in registers: through memory, a
// vector loaded over two narrower stores would wait for both.
using Floats8 = float __attribute__((vector_size(32)));

[[gnu::always_inline]] inline void StoreMeans(const GroupVectors<double>::Sums (&sum)[4], float w,
                                              float* to) {
  using Floats = GroupVectors<double>::Floats;
  for (int half = 0; half < 2; ++half) {
    const Floats low = __builtin_convertvector(sum[2 * half], Floats);
    const Floats high = __builtin_convertvector(sum[2 * half + 1], Floats);
    const Floats8 means = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7) / w;
    std::memcpy(to + 8 * half, &means, sizeof means);
  }
}

[[gnu::always_inline]] inline void StoreMeans(const GroupVectors<float>::Sums (&sum)[2], float w,
                                              float* to) {
  for (int half = 0; half < 2; ++half) {
    const Floats8 means = sum[half] / w;
    std::memcpy(to + 8 * half, &means, sizeof means);
  }
}

// The row pass of one group, each inner column's means stored at out + j *
// stride.
template <typename Sum>
[[gnu::always_inline]] inline void RowPassOfGroup(const float* __restrict values, int columns,
                                                  int lanes, int radius, float w,
                                                  float* __restrict out, std::ptrdiff_t stride) {
  constexpr int kPerVector = 32 / sizeof(Sum);
  using Sums = typename GroupVectors<Sum>::Sums;
  using Floats = typename GroupVectors<Sum>::Floats;
  auto load = [](const float* from) {
    Floats v;
    std::memcpy(&v, from, sizeof v);
    return __builtin_convertvector(v, Sums);
  };
  Sums sum[kGroup / kPerVector];
  for (int k = 0; k < kGroup; k += kPerVector) sum[k / kPerVector] = load(values + k);
  for (int j = 1; j <= 2 * radius; ++j) {
    const float* v = values + static_cast<std::ptrdiff_t>(j) * lanes;
    for (int k = 0; k < kGroup; k += kPerVector) sum[k / kPerVector] += load(v + k);
  }
  const int last = columns - radius - 1;
  for (int j = radius; j < last; ++j) {
    StoreMeans(sum, w, out + j * stride);
    const float* leave = values + static_cast<std::ptrdiff_t>(j - radius) * lanes;
    const float* enter = values + static_cast<std::ptrdiff_t>(j + radius + 1) * lanes;
    for (int k = 0; k < kGroup; k += kPerVector) {
      Sums& s = sum[k / kPerVector];
      s = SlideWindowSum(s, load(leave + k), load(enter + k));
    }
  }
  StoreMeans(sum, w, out + last * stride);
}

// The row pass of BoxSum on one row (columns x lanes, lane fastest), followed
// by BoxMean's division by w: the inner columns j = r .. columns - r - 1 get
// float(float(running sum) / w), column j's lanes at out + j * stride. Lanes
// in groups divide as they store; other lane counts (where stride must be
// `lanes`) divide once over the whole inner row, so that it stays in vectors
// however few the lanes.
template <typename Sum>
TAVREL_KERNEL void RowPassAndDivideOf(const float* __restrict values, int columns, int lanes,
                                      int radius, float w, Sum* __restrict sum,
                                      float* __restrict out, std::ptrdiff_t stride) {
  const int last = columns - radius - 1;
  if (last < radius) return;  // no inner column
  if (lanes % kGroup == 0) {
    for (int group = 0; group < lanes; group += kGroup) {
      RowPassOfGroup<Sum>(values + group, columns, lanes, radius, w, out + group, stride);
    }
    return;
  }
  for (int k = 0; k < lanes; ++k) sum[k] = values[k];
  for (int j = 1; j <= 2 * radius; ++j) {
    const float* v = values + static_cast<std::ptrdiff_t>(j) * lanes;
    for (int k = 0; k < lanes; ++k) sum[k] += v[k];
  }
  for (int j = radius; j < last; ++j) {
    // Each lane's value is stored before its sum moves on, in one sweep.
    float* o = out + static_cast<std::ptrdiff_t>(j) * lanes;
    const float* leave = values + static_cast<std::ptrdiff_t>(j - radius) * lanes;
    const float* enter = values + static_cast<std::ptrdiff_t>(j + radius + 1) * lanes;
    for (int k = 0; k < lanes; ++k) {
      const Sum current = sum[k];
      o[k] = static_cast<float>(current);
      sum[k] = SlideWindowSum(current, leave[k], enter[k]);
    }
  }
  float* o = out + static_cast<std::ptrdiff_t>(last) * lanes;
  for (int k = 0; k < lanes; ++k) o[k] = static_cast<float>(sum[k]);
  float* inner = out + static_cast<std::ptrdiff_t>(radius) * lanes;
  Divide(inner, w, inner, static_cast<std::size_t>(last - radius + 1) * lanes);
}

void StartSums(double* sums, const float* const* rows, int count, float* values, std::size_t n) {
  OnIsaPath<StartSumsOf<double>>(sums, rows, count, values, n);
}
void StartSums(float* sums, const float* const* rows, int count, float* values, std::size_t n) {
  OnIsaPath<StartSumsOf<float>>(sums, rows, count, values, n);
}
void StepSums(double* sums, const float* leave, const float* enter, float* values, std::size_t n) {
  OnIsaPath<StepSumsOf<double>>(sums, leave, enter, values, n);
}
void StepSums(float* sums, const float* leave, const float* enter, float* values, std::size_t n) {
  OnIsaPath<StepSumsOf<float>>(sums, leave, enter, values, n);
}
void RowPassAndDivide(const float* values, int columns, int lanes, int radius, float w, double* sum,
                      float* out, std::ptrdiff_t stride) {
  OnIsaPath<RowPassAndDivideOf<double>>(values, columns, lanes, radius, w, sum, out, stride);
}
void RowPassAndDivide(const float* values, int columns, int lanes, int radius, float w, float* sum,
                      float* out, std::ptrdiff_t stride) {
  OnIsaPath<RowPassAndDivideOf<float>>(values, columns, lanes, radius, w, sum, out, stride);
}

// Pixels [from, to) of a plane row, each pixel's lanes copied to out + c *
// stride.
void CopyPixels(const float* row, int lanes, int from, int to, float* out, std::ptrdiff_t stride) {
  for (int c = from; c < to; ++c) {
    std::copy_n(row + static_cast<std::ptrdiff_t>(c) * lanes, lanes, out + c * stride);
  }
}

}  // namespace

void StreamingBoxMean::InnerRow(int i, float* to, std::ptrdiff_t stride) {
  const int r = radius_;
  const std::size_t innerBegin = static_cast<std::size_t>(r) * lanes_;
  const std::size_t innerCount = static_cast<std::size_t>(columns_ - 2 * r) * lanes_;
  float* values = columnValues_ + innerBegin;
  auto columnPass = [&](auto* sums) {
    sums += innerBegin;
    if (i == startRow_) {
      std::vector<const float*> window;
      for (int j = i - r; j <= i + r; ++j) window.push_back(Slot(j) + innerBegin);
      StartSums(sums, window.data(), 2 * r + 1, values, innerCount);
    } else {
      StepSums(sums, Slot(i - 1 - r) + innerBegin, Slot(i + r) + innerBegin, values, innerCount);
    }
  };
  if (sumsInFloat_) {
    columnPass(reinterpret_cast<float*>(columnSums_));
  } else {
    columnPass(columnSums_);
  }
  // Edge columns enter the row sums with their own values.
  const float* raw = Slot(i);
  std::copy_n(raw, innerBegin, columnValues_);
  std::copy_n(raw + innerBegin + innerCount, innerBegin, columnValues_ + innerBegin + innerCount);

  if (sumsInFloat_) {
    RowPassAndDivide(columnValues_, columns_, lanes_, r, w_, reinterpret_cast<float*>(rowSum_), to,
                     stride);
  } else {
    RowPassAndDivide(columnValues_, columns_, lanes_, r, w_, rowSum_, to, stride);
  }
  CopyPixels(raw, lanes_, 0, r, to, stride);
  CopyPixels(raw, lanes_, columns_ - r, columns_, to, stride);
}

// A row BoxSum leaves alone: BoxMean still divides its inner columns.
void StreamingBoxMean::EdgeRow(int i, float* to, std::ptrdiff_t stride) {
  const float* raw = Slot(i);
  if (columns_ < 2 * radius_ + 1) {
    CopyPixels(raw, lanes_, 0, columns_, to, stride);
    return;
  }
  CopyPixels(raw, lanes_, 0, radius_, to, stride);
  CopyPixels(raw, lanes_, columns_ - radius_, columns_, to, stride);
  for (int c = radius_; c < columns_ - radius_; ++c) {
    OnIsaPath<Divide>(raw + static_cast<std::ptrdiff_t>(c) * lanes_, w_, to + c * stride,
                      static_cast<std::size_t>(lanes_));
  }
}

}  // namespace tavrel::fast
