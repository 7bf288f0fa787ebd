#include "engine/fast_sad_values.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "engine/avx_tiles.h"
#include "engine/fast_transpose.h"
#include "engine/vector_tail.h"

// Threads take bands of rows only where every box sum is exact (see
// ExactSadSums and ExactMeanSums); the raw rows wait in a small ring until
// their background level is known.
namespace tavrel::fast {
namespace {

// SAD similarities of the pixels c = first .. last of image-0 row `row0`
// (bands interleaved) against kLanes shifted pixels each:
// out[c * kLanes + lane] = per band t = float(t + (1 - |a - v| / 255)), then
// t / bands, where v = image 1 at column c + minDisparity + k0 + lane (from
// `shifted`); 0 in the lanes whose image-1 column lies outside the valid
// region.
//
// kBytes: for whole intensities from 0 to 255. A difference n = |a - v| is
// then a whole number 0 .. 255, and the first band's term 1 - n / 255,
// formed in double and rounded to float, equals (255 - n) / 255 divided in
// float for each of the 256 values of n (the rounded real quotient either
// way; checked one by one). So the first band, the only one of grey images,
// runs in float.
template <bool kBytes>
[[gnu::always_inline]] inline void SimilarityRowOf(const Geometry& g, const float* __restrict row0,
                                                   const ShiftedRow& shifted, int k0, int first,
                                                   int last, float* __restrict out) {
  const int bands = g.bands;
  const float floatBands = static_cast<float>(bands);  // exact, see ComputeL0
  for (int c = first; c <= last; ++c) {
    int lo = 0;
    int hi = 0;
    ValidLanes(g, c, k0, lo, hi);
    const float* a = row0 + static_cast<std::ptrdiff_t>(c) * bands;
    float t[kLanes];
    int b = 0;
    if constexpr (!kBytes) {
      std::fill_n(t, kLanes, 0.0f);
    } else {
      const float* v = shifted.Band(0) + c + k0;
#pragma GCC unroll 1
      for (int lane = 0; lane < kLanes; ++lane) {
        t[lane] = (255.0f - std::fabs(a[0] - v[lane])) / 255.0f;
      }
      b = 1;
    }
    for (; b < bands; ++b) {
      const double ab = a[b];
      const float* v = shifted.Band(b) + c + k0;
#pragma GCC unroll 1
      for (int lane = 0; lane < kLanes; ++lane) {
        // Whole intensities differ exactly in float too, at half the width.
        const double difference =
            kBytes ? static_cast<double>(a[b] - v[lane]) : ab - static_cast<double>(v[lane]);
        t[lane] = static_cast<float>(t[lane] + (1.0 - std::fabs(difference) * kOneOver255));
      }
    }
    float* o = out + static_cast<std::ptrdiff_t>(c) * kLanes;
#pragma GCC unroll 1
    for (int lane = 0; lane < kLanes; ++lane) {
      const float mean = t[lane] / floatBands;
      o[lane] = lane >= lo && lane <= hi ? mean : 0.0f;
    }
  }
}

TAVREL_KERNEL void SimilarityRow(const Geometry& g, const float* row0, const ShiftedRow& shifted,
                                 int k0, int first, int last, float* out) {
  SimilarityRowOf<false>(g, row0, shifted, k0, first, last, out);
}
TAVREL_KERNEL void ByteSimilarityRow(const Geometry& g, const float* row0,
                                     const ShiftedRow& shifted, int k0, int first, int last,
                                     float* out) {
  SimilarityRowOf<true>(g, row0, shifted, k0, first, last, out);
}

// out[c * stride + k] = lanes[c * kLanes + k] for c < columns, k < count <
// kLanes (a full block's means are written in place).
TAVREL_KERNEL void ScatterLanes(const float* __restrict lanes, int columns, int count,
                                float* __restrict out, std::ptrdiff_t stride) {
  for (int c = 0; c < columns; ++c) {
    CopyLanes(lanes + static_cast<std::ptrdiff_t>(c) * kLanes, count, out + c * stride);
  }
}

// sums[j] = float sum of values[k * kLanes + j] over k < count, k ascending,
// from 0.
TAVREL_KERNEL void SumIndexMajor(const float* __restrict values, int count,
                                 float* __restrict sums) {
  float s[kLanes] = {};
  for (int k = 0; k < count; ++k) {
    const float* row = values + static_cast<std::ptrdiff_t>(k) * kLanes;
    for (int j = 0; j < kLanes; ++j) s[j] += row[j];
  }
  for (int j = 0; j < kLanes; ++j) sums[j] = s[j];
}

// SAD scaling (v - m) / (1 - m) in double and clamp, on a vector of 4
// values of one level m.
using Floats4 = float __attribute__((vector_size(16)));
using Doubles4 = double __attribute__((vector_size(32)));

TAVREL_KERNEL Floats4 ScaledVector(Floats4 raw, Floats4 level) {
  const Doubles4 m = __builtin_convertvector(level, Doubles4);
  const Doubles4 one = {1.0, 1.0, 1.0, 1.0};
  Floats4 v =
      __builtin_convertvector((__builtin_convertvector(raw, Doubles4) - m) / (one - m), Floats4);
  const Floats4 low = {kLowestMatchValue, kLowestMatchValue, kLowestMatchValue, kLowestMatchValue};
  const Floats4 high = {1.0f, 1.0f, 1.0f, 1.0f};
  v = v >= low ? v : low;  // NaN fails the test and takes the floor too
  return v > high ? high : v;
}

// Whether a pixel's scaling may run in float: with 0.5 <= m < 1, the
// clamped value of (v - m) / (1 - m) in float is the clamped value of the
// double expression, for every float v.
//  - 1 - m is exact in float (Sterbenz: m lies within a factor 2 of 1).
//  - For m / 2 <= v <= 2 m, v - m is exact too (Sterbenz), so both
//    expressions divide the same two floats: the double quotient rounded
//    to float is the float quotient, since 53 >= 2 x 24 + 2 bits make the
//    double rounding innocuous for a division (a result below 0.08, where
//    that might not hold for a subnormal, is clamped to 0.08 either way).
//  - For v < m / 2 both quotients are negative (at most -0.25 / 0.5), and
//    become 0.08.
//  - For v > 2 m, v > 1, and both quotients are at least 1 (rounding keeps
//    v - m >= 1 - m, which is exact), and become 1.
inline bool ScalesInFloat(float m) { return m >= 0.5f && m < 1.0f; }

using Floats8 = float __attribute__((vector_size(32)));
using Ints8 = std::int32_t __attribute__((vector_size(32)));
constexpr int kPixelLanes = 8;

// The scaling and clamp of 8 values of one pixel, whose level is m: in float
// for levels that ScalesInFloat, each value's (v - m) / (1 - m) as the
// double expression rounds it; otherwise in double, 4 lanes at a time.
template <bool kInFloat>
[[gnu::always_inline]] inline Floats8 ScaledLanes(Floats8 raw, float m) {
  if constexpr (kInFloat) {
    const Floats8 low = Floats8{} + kLowestMatchValue;
    const Floats8 high = Floats8{} + 1.0f;
    Floats8 v = (raw - m) / (1.0f - m);
    v = v >= low ? v : low;  // NaN fails the test and takes the floor too
    return v > high ? high : v;
  } else {
    const Floats4 level = {m, m, m, m};
    Floats4 half[2];
    std::memcpy(half, &raw, sizeof raw);
    half[0] = ScaledVector(half[0], level);
    half[1] = ScaledVector(half[1], level);
    Floats8 v;
    std::memcpy(&v, half, sizeof v);
    return v;
  }
}

// The values of `pixels` pixels of D indices each, scaled by their pixel's
// capped background level levels[p]: l0 gets them (with kL0), ln the same
// with 0 at the border indices (a value is at least 0.08 and finite). A
// pixel runs in vectors of 8 indices, the last one moved back to end at
// its last index (it writes some values again, the same ones); a pixel of
// fewer indices takes padded lanes.
template <bool kL0, bool kInFloat>
TAVREL_KERNEL void ScalePixelsOf(const float* __restrict raw, const float* __restrict levels, int D,
                                 int pixels, float* __restrict l0, float* __restrict ln) {
  const Ints8 iota = {0, 1, 2, 3, 4, 5, 6, 7};
  const int innerEnd = D - kDisparityMargin;
  auto scale = [&](const float* from, float m, int k0, float* toL0, float* toLn) {
    Floats8 r;
    std::memcpy(&r, from, sizeof r);
    const Floats8 v = ScaledLanes<kInFloat>(r, m);
    if constexpr (kL0) std::memcpy(toL0, &v, sizeof v);
    const Ints8 index = iota + k0;
    const Floats8 inner = (index >= kDisparityMargin) & (index < innerEnd) ? v : Floats8{};
    std::memcpy(toLn, &inner, sizeof inner);
  };
  for (int p = 0; p < pixels; ++p) {
    const float m = levels[p];
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(p) * D;
    if (D < kPixelLanes) {
      const TailLanes raws(raw + at, static_cast<std::size_t>(D), 0.0f);
      TailLanes toL0(raw, 0, 0.0f);
      TailLanes toLn(raw, 0, 0.0f);
      scale(raws.lanes, m, 0, toL0.lanes, toLn.lanes);
      if constexpr (kL0) toL0.CopyTo(l0 + at, static_cast<std::size_t>(D));
      toLn.CopyTo(ln + at, static_cast<std::size_t>(D));
      continue;
    }
    for (int k = 0; k < D; k += kPixelLanes) {
      const int k0 = std::min(k, D - kPixelLanes);
      scale(raw + at + k0, m, k0, kL0 ? l0 + at + k0 : nullptr, ln + at + k0);
    }
  }
}

TAVREL_KERNEL void ScalePixels(const float* raw, const float* levels, int D, int pixels, float* l0,
                               float* ln) {
  ScalePixelsOf<true, false>(raw, levels, D, pixels, l0, ln);
}
TAVREL_KERNEL void ScalePixelsCleared(const float* raw, const float* levels, int D, int pixels,
                                      float* ln) {
  ScalePixelsOf<false, false>(raw, levels, D, pixels, nullptr, ln);
}
TAVREL_KERNEL void ScalePixelsInFloat(const float* raw, const float* levels, int D, int pixels,
                                      float* l0, float* ln) {
  ScalePixelsOf<true, true>(raw, levels, D, pixels, l0, ln);
}
TAVREL_KERNEL void ScalePixelsInFloatCleared(const float* raw, const float* levels, int D,
                                             int pixels, float* ln) {
  ScalePixelsOf<false, true>(raw, levels, D, pixels, nullptr, ln);
}

#if defined(__x86_64__)
constexpr int kTile = 8;

// sums[c] = float sum of raw[c * D + k] over k < D, k ascending, from 0, for
// the pixels c < count (count and D at least 8): 8 pixels at a time, whose
// values become vectors of the 8 pixels through 8 x 8 tiles in registers.
// The last tile of each kind is moved back to end at the last pixel or
// index; its pixels are made again alike, its indices already added are
// skipped.
__attribute__((target("avx"))) void PixelSumsAvx(const float* raw, int D, int count, float* sums) {
  for (int c = 0; c < count; c += kTile) {
    const int c0 = std::min(c, count - kTile);
    const float* pixels = raw + static_cast<std::ptrdiff_t>(c0) * D;
    __m256 sum = _mm256_setzero_ps();
    for (int k = 0; k < D; k += kTile) {
      const int k0 = std::min(k, D - kTile);
      __m256 values[kTile];
      LoadTransposed8(pixels + k0, D, values);
      for (int index = k - k0; index < kTile; ++index) sum = _mm256_add_ps(sum, values[index]);
    }
    _mm256_storeu_ps(sums + c0, sum);
  }
}
#endif

}  // namespace

std::size_t SadRowMaker::ArenaBytes(const Geometry& g) {
  const int blocks = (g.disparities + kLanes - 1) / kLanes;
  const std::size_t rawRow = static_cast<std::size_t>(g.columns) * g.disparities;
  return blocks * StreamingBoxMean::Bytes(g.columns, kLanes, g.radius) +
         StreamingBoxMean::Bytes(g.columns, 1, g.radius + 1) +
         ThreadArena::Bytes<float>(rawRow * (g.radius + 2)) +
         ThreadArena::Bytes<float>(static_cast<std::size_t>(g.columns)) +
         ThreadArena::Bytes<float>(static_cast<std::size_t>(g.disparities) * kLanes);
}

std::size_t SadRowMaker::Bytes(const Geometry& g) {
  return ThreadArena::Bytes<std::byte>(ArenaBytes(g)) + RowCache::Bytes(g, g.bands);
}

SadRowMaker::SadRowMaker(const SadInputs& in, int first, ThreadArena& arena, MeanExtent& extent)
    : in_(in),
      g_(in_.g),
      extent_(extent),
      rawRow_(static_cast<std::size_t>(in.g.columns) * in.g.disparities),
      ringRows_(in.g.radius + 2),
      image1Rows_(in.g, in.g.bands) {
  const int levelRadius = g_.radius + 1;
  const int firstRaw = std::max(0, first - levelRadius);
  const int blocks = (g_.disparities + kLanes - 1) / kLanes;
  arena.Reset(ArenaBytes(g_));
  streams_.reserve(static_cast<std::size_t>(blocks));
  for (int block = 0; block < blocks; ++block) {
    const int k0 = block * kLanes;
    streams_.emplace_back(g_, 1, k0, std::min(kLanes, g_.disparities - k0), arena, false, firstRaw);
  }
  level_.emplace(g_.rows, g_.columns, 1, levelRadius, arena, false, first);
  ring_ = arena.Take<float>(rawRow_ * ringRows_);
  indexMajor_ = arena.Take<float>(static_cast<std::size_t>(g_.disparities) * kLanes);
  levels_ = arena.Take<float>(static_cast<std::size_t>(g_.columns));
}

// Raw values of row j into the ring: each block's similarity box means.
// A full block's means go straight to their places in the row; a short
// one's are moved there from the stream's own row.
void SadRowMaker::MakeRawRow(int j) {
  float* raw = RawOf(j);
  for (BlockStream& stream : streams_) {
    auto similarities = [&](int i, float* plane) {
      if (!ClearOutsideValid(g_, i, kLanes, plane)) return;
      const float* row0 = in_.image0.data() + in_.image0.Index(i, 0, 0);
      const ShiftedRow& shifted = image1Rows_.ImageOne(in_.image1, g_, i);
      const int lastValid = g_.columns - kValidFirst;
      if (in_.byteIntensities) {
        OnIsaPath<ByteSimilarityRow>(g_, row0, shifted, stream.k0, kValidFirst, lastValid, plane);
      } else {
        OnIsaPath<SimilarityRow>(g_, row0, shifted, stream.k0, kValidFirst, lastValid, plane);
      }
    };
    if (stream.count == kLanes) {
      stream.box.StepInto(j, similarities, raw + stream.k0, g_.disparities);
      continue;
    }
    const float* row = stream.box.Step(j, similarities);
    OnIsaPath<ScatterLanes>(row, g_.columns, stream.count, raw + stream.k0, g_.disparities);
  }
}

// Raw values of row j into the ring, and the pixel means of row j: each
// pixel's values added in float, indices ascending, then divided by D.
void SadRowMaker::MakeMeans(int j, float* means) {
  MakeRawRow(j);
  PixelSums(RawOf(j), means);
  const float count = static_cast<float>(g_.disparities);  // exact, see ComputeL0
  for (int c = 0; c < g_.columns; ++c) means[c] /= count;
  extent_.Add(means, g_.columns);
}

// sums[c] = the float sum of pixel c's values in `raw`, indices ascending:
// in register tiles on the AVX paths, elsewhere from a transposed copy.
void SadRowMaker::PixelSums(const float* raw, float* sums) {
#if defined(__x86_64__)
  if (PathHasAvx() && g_.disparities >= kTile && g_.columns >= kTile) {
    PixelSumsAvx(raw, g_.disparities, g_.columns, sums);
    return;
  }
#endif
  for (int c0 = 0; c0 < g_.columns; c0 += kLanes) {
    const int n = std::min(kLanes, g_.columns - c0);
    Transpose(raw + static_cast<std::size_t>(c0) * g_.disparities, g_.disparities, indexMajor_,
              kLanes, n, g_.disparities);
    float group[kLanes];
    OnIsaPath<SumIndexMajor>(indexMajor_, g_.disparities, group);
    std::copy_n(group, n, sums + c0);
  }
}

// Row q of L0 and Ln. The normalised columns kPixelMargin .. columns -
// kPixelMargin - 1 are scaled, the others keep their raw values in L0 and 0
// in Ln.
void SadRowMaker::WriteRow(int q, const float* background, float* l0, float* ln) {
  const std::size_t D = static_cast<std::size_t>(g_.disparities);
  const int scaledColumns = std::max(g_.columns - 2 * kPixelMargin, 0);
  const std::size_t scaledBegin = scaledColumns > 0 ? kPixelMargin * D : rawRow_;
  const std::size_t scaledEnd = scaledBegin + scaledColumns * D;
  const float* raw = RawOf(q);
  const bool scaled = InNormalisedRegion(g_, q, kPixelMargin) && scaledColumns > 0;
  const std::size_t keptEnd = scaled ? scaledBegin : rawRow_;
  const std::size_t keptBegin = scaled ? scaledEnd : rawRow_;
  if (l0) {
    std::copy_n(raw, keptEnd, l0);
    std::copy(raw + keptBegin, raw + rawRow_, l0 + keptBegin);
  }
  std::fill_n(ln, keptEnd, 0.0f);
  std::fill(ln + keptBegin, ln + rawRow_, 0.0f);
  if (!scaled) return;
  for (int c = kPixelMargin; c < kPixelMargin + scaledColumns; ++c) {
    const float m = background[c];
    levels_[c] = m > in_.maxScaler ? in_.maxScaler : m;
  }
  // Runs of pixels whose levels scale in float, and runs of those that do not.
  for (int c = kPixelMargin; c < kPixelMargin + scaledColumns;) {
    const bool inFloat = ScalesInFloat(levels_[c]);
    int end = c + 1;
    while (end < kPixelMargin + scaledColumns && ScalesInFloat(levels_[end]) == inFloat) ++end;
    const std::size_t at = c * D;
    const int n = end - c;
    if (l0 && inFloat) {
      OnIsaPath<ScalePixelsInFloat>(raw + at, levels_ + c, g_.disparities, n, l0 + at, ln + at);
    } else if (l0) {
      OnIsaPath<ScalePixels>(raw + at, levels_ + c, g_.disparities, n, l0 + at, ln + at);
    } else if (inFloat) {
      OnIsaPath<ScalePixelsInFloatCleared>(raw + at, levels_ + c, g_.disparities, n, ln + at);
    } else {
      OnIsaPath<ScalePixelsCleared>(raw + at, levels_ + c, g_.disparities, n, ln + at);
    }
    c = end;
  }
}

void SadRowMaker::Row(int q, float* l0, float* ln) {
  const float* background = level_->Step(q, [this](int j, float* means) { MakeMeans(j, means); });
  WriteRow(q, background, l0, ln);
}

void MeanExtent::Add(const float* means, int count) {
  for (int c = 0; c < count; ++c) {
    const float m = means[c];
    if (!(m >= 0.0f) || std::isinf(m)) unusual = true;
    if (m > 0.0f) leastPositive = std::min(leastPositive, m);
    greatest = std::max(greatest, m);
  }
}

void MeanExtent::Merge(const MeanExtent& other) {
  leastPositive = std::min(leastPositive, other.leastPositive);
  greatest = std::max(greatest, other.greatest);
  unusual = unusual || other.unusual;
}
// Whether the running sums of the background level's box mean (radius
// r + 1) are exact in double, so that a band of rows may form its column
// sums afresh and get the sums the straightforward pass carries down from
// the top. They are when every mean is a non-negative multiple of u, the
// last bit of the least positive one (every larger float and every float
// rounding of a sum of them is one too), and no window sum of (2r + 3)^2
// means comes near 2^53 u, below which double holds every multiple of u.
bool ExactMeanSums(const MeanExtent& extent, int radius) {
  if (extent.unusual) return false;
  if (extent.greatest == 0.0f) return true;
  const int side = 2 * (radius + 1) + 1;
  const int unitExponent =
      std::ilogb(extent.leastPositive) - (std::numeric_limits<float>::digits - 1);
  return static_cast<double>(side) * side * extent.greatest <
         std::ldexp(1.0, std::numeric_limits<double>::digits - 1 + unitExponent);
}

// Whether the similarity planes' box sums are exact in double, for any
// window and any starting row, with B bands of images whose intensities are
// all whole numbers from 0 to 255 (byteIntensities). Then each
// band's term 1 - |a - v| / 255 is 0 or at least 1/255 > 2^-8, so each
// pixel's float sum over the bands is 0 or at least 2^-8, and the
// similarity, that sum over B, is 0 or a float above 2^-9 / B: its last bit,
// and that of every larger float, is at least u = 2^-(32 + ceil(log2 B)).
// Window sums stay below 225 < 2^8, and double holds every multiple of u
// below 2^53 u; so B up to 2^13.
bool ExactSadSums(int bands, bool byteIntensities) {
  constexpr int kMostBands = 1 << 13;
  return bands <= kMostBands && byteIntensities;
}

}  // namespace tavrel::fast
