#include "engine/fast_correlation_values.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tavrel::fast {
namespace {

// Moments of the pixels c = first .. last of image-0 row `row0` against
// kLanes shifted pixels each, 0 in the lanes outside the valid region (each
// rounded to float). With kSquares, at out[(c * 3B + channel) * kLanes +
// lane], channels 3b, 3b + 1, 3b + 2 = a * a, v * v, v * a; without, only v *
// a, at out[(c * B + b) * kLanes + lane] (see SquareMeans).
template <bool kSquares>
TAVREL_KERNEL void MomentRowOf(const Geometry& g, const float* __restrict row0,
                               const ShiftedRow& shifted, int k0, int first, int last,
                               float* __restrict out) {
  const int bands = g.bands;
  const int channels = kSquares ? 3 : 1;
  for (int c = first; c <= last; ++c) {
    int lo = 0;
    int hi = 0;
    ValidLanes(g, c, k0, lo, hi);
    for (int b = 0; b < bands; ++b) {
      const double a = row0[static_cast<std::ptrdiff_t>(c) * bands + b];
      const float* v = shifted.Band(b) + c + k0;
      float* pixel = out + (static_cast<std::ptrdiff_t>(c) * bands + b) * channels * kLanes;
#pragma GCC unroll 1
      for (int lane = 0; lane < kLanes; ++lane) {
        const double vl = v[lane];
        const bool ok = lane >= lo && lane <= hi;
        if constexpr (kSquares) {
          pixel[lane] = ok ? static_cast<float>(a * a) : 0.0f;
          pixel[kLanes + lane] = ok ? static_cast<float>(vl * vl) : 0.0f;
        }
        pixel[(channels - 1) * kLanes + lane] = ok ? static_cast<float>(vl * a) : 0.0f;
      }
    }
  }
}

TAVREL_KERNEL void MomentRow(const Geometry& g, const float* row0, const ShiftedRow& shifted,
                             int k0, int first, int last, float* out) {
  MomentRowOf<true>(g, row0, shifted, k0, first, last, out);
}
TAVREL_KERNEL void CrossMomentRow(const Geometry& g, const float* row0, const ShiftedRow& shifted,
                                  int k0, int first, int last, float* out) {
  MomentRowOf<false>(g, row0, shifted, k0, first, last, out);
}

// One band's term added to each lane's sum, from the box means of a * a, v *
// v and v * a, and the window means m0 of image 0 and m1[lane] of image 1.
// Same operations and roundings as the straightforward code: stored
// variances and covariance, q in double, a band with q = 0 skipped, the sum
// rounded to float.
[[gnu::always_inline]] inline void AddBand(const float* aa, const float* vv, const float* va,
                                           double m0, const float* m1, float* sum) {
  for (int lane = 0; lane < kLanes; ++lane) {
    const double m1l = m1[lane];
    const float variance0 = static_cast<float>(aa[lane] - m0 * m0);
    const float variance1 = static_cast<float>(vv[lane] - m1l * m1l);
    const float covariance = static_cast<float>(va[lane] - m0 * m1l);
    const double q = static_cast<double>(variance0) * variance1;
    const float added = static_cast<float>(sum[lane] + covariance / __builtin_sqrt(q));
    sum[lane] = q != 0.0 ? added : sum[lane];
  }
}

// Correlation values of one block row, kLanes per pixel: out[c * kLanes +
// lane] for the columns c < columns, from the box-averaged moments
// (moments[(c * 3B + channel) * kLanes + lane], see MomentRow), the window
// means of image 0 (means[c * 2B + 2b]) and those of image 1 around each
// lane's shifted column (mu1[b][c + lane]), then sum / bands. One call per
// row, so that the 16-lane loops cost no call each.
TAVREL_KERNEL void CorrelationRow(const float* __restrict moments, const float* __restrict means,
                                  const float* const* mu1, int bands, int columns,
                                  float* __restrict out) {
  const float floatBands = static_cast<float>(bands);  // exact, see ComputeL0
  const int channels = 3 * bands;
  for (int c = 0; c < columns; ++c) {
    const float* pixel = moments + static_cast<std::ptrdiff_t>(c) * channels * kLanes;
    float sum[kLanes] = {};
    for (int b = 0; b < bands; ++b) {
      const float* aa = pixel + 3 * b * kLanes;
      AddBand(aa, aa + kLanes, aa + 2 * kLanes,
              means[static_cast<std::ptrdiff_t>(c) * 2 * bands + 2 * b], mu1[b] + c, sum);
    }
    float* o = out + static_cast<std::ptrdiff_t>(c) * kLanes;
    for (int lane = 0; lane < kLanes; ++lane) o[lane] = sum[lane] / floatBands;
  }
}

// The same from the box means of v * a alone (cross[(c * B + b) * kLanes +
// lane], see CrossMomentRow) and those of the squares from `squares`: shared
// by all lanes of the pixels squares.firstFull .. lastFull, made lane by
// lane for the others.
TAVREL_KERNEL void CorrelationRowOfCross(const float* __restrict cross,
                                         const SquareMeans::Lanes& squares,
                                         const float* __restrict means, const float* const* mu1,
                                         int bands, int columns, float* __restrict out) {
  const float floatBands = static_cast<float>(bands);
  auto pixel = [&](int c, auto squaresOf) {
    float sum[kLanes] = {};
    for (int b = 0; b < bands; ++b) {
      float aa[kLanes];
      float vv[kLanes];
      squaresOf(b, aa, vv);
      AddBand(aa, vv, cross + (static_cast<std::ptrdiff_t>(c) * bands + b) * kLanes,
              means[static_cast<std::ptrdiff_t>(c) * 2 * bands + 2 * b], mu1[b] + c, sum);
    }
    float* o = out + static_cast<std::ptrdiff_t>(c) * kLanes;
    for (int lane = 0; lane < kLanes; ++lane) o[lane] = sum[lane] / floatBands;
  };
  auto edge = [&](int c) {
    pixel(c, [&](int b, float* aa, float* vv) { squares.OfEdge(b, c, aa, vv); });
  };
  for (int c = 0; c < squares.firstFull; ++c) edge(c);
  for (int c = squares.firstFull; c <= squares.lastFull; ++c) {
    pixel(c, [&](int b, float* aa, float* vv) { squares.OfFull(b, c, aa, vv); });
  }
  for (int c = squares.lastFull + 1; c < columns; ++c) edge(c);
}

// The clamp of the values of pixels c0 .. c1 - 1 (kLanes each, of which the
// first count are used) into l0 (with kL0) and, in the interior lanes
// firstInterior .. lastInterior, ln (0 in the others); pixel c's values go to
// l0[c * stride + lane]. One call per row, so that a pixel costs no call.
template <bool kL0>
TAVREL_KERNEL void ClampRowOf(const float* __restrict values, int c0, int c1, int count,
                              int firstInterior, int lastInterior, float* __restrict l0,
                              float* __restrict ln, std::ptrdiff_t stride) {
  auto clamp = [&](int c, float* l0Lanes, float* lnLanes) {
#pragma GCC unroll 1
    for (int k = 0; k < kLanes; ++k) {
      float v = values[static_cast<std::ptrdiff_t>(c) * kLanes + k];
      v = !(v >= kLowestMatchValue) ? kLowestMatchValue : v;
      v = v > 1.0f ? 1.0f : v;
      if constexpr (kL0) l0Lanes[k] = v;
      lnLanes[k] = k >= firstInterior && k <= lastInterior ? v : 0.0f;
    }
  };
  if (count == kLanes) {
    for (int c = c0; c < c1; ++c) clamp(c, kL0 ? l0 + c * stride : nullptr, ln + c * stride);
    return;
  }
  // A short block: all lanes are clamped as vectors, the used ones moved.
  for (int c = c0; c < c1; ++c) {
    float l0Lanes[kLanes];
    float lnLanes[kLanes];
    clamp(c, l0Lanes, lnLanes);
    if constexpr (kL0) CopyLanes(l0Lanes, count, l0 + c * stride);
    CopyLanes(lnLanes, count, ln + c * stride);
  }
}

TAVREL_KERNEL void ClampRow(const float* values, int c0, int c1, int count, int firstInterior,
                            int lastInterior, float* l0, float* ln, std::ptrdiff_t stride) {
  ClampRowOf<true>(values, c0, c1, count, firstInterior, lastInterior, l0, ln, stride);
}
TAVREL_KERNEL void ClampRowCleared(const float* values, int c0, int c1, int count,
                                   int firstInterior, int lastInterior, float* ln,
                                   std::ptrdiff_t stride) {
  ClampRowOf<false>(values, c0, c1, count, firstInterior, lastInterior, nullptr, ln, stride);
}

// Plane row j of the window means' input: band 2b image 0, band 2b + 1 image
// 1 at the same column, over the valid region, 0 elsewhere.
void MaskedImageRow(const FloatArray& image0, const FloatArray& image1, const Geometry& g, int j,
                    float* plane) {
  const int lanes = 2 * g.bands;
  if (!ClearOutsideValid(g, j, lanes, plane)) return;
  for (int c = kValidFirst; c <= g.columns - kValidFirst; ++c) {
    float* pixel = plane + static_cast<std::ptrdiff_t>(c) * lanes;
    for (int b = 0; b < g.bands; ++b) {
      pixel[2 * b] = image0.At(j, c, b);
      pixel[2 * b + 1] = image1.Get(j, c, b);
    }
  }
}

// Row i of one block's correlation values: clamped in the normalised region,
// written into L0's row (l0, skipped when null), and into Ln's (ln) inside
// the interior, 0 elsewhere. `meansRow` is row i of the window means of both
// images; `values` holds columns x kLanes floats of scratch.
void CorrelationBlockRow(const CorrelationInputs& in, const float* meansRow,
                         const SquareMeans* squares, CorrelationCaches& caches, float* values,
                         BlockStream& block, int i, float* l0, float* ln) {
  const Geometry& g = in.g;
  const int channels = (squares ? 1 : 3) * g.bands;
  const float* row = block.box.Step(i, [&](int j, float* plane) {
    if (!ClearOutsideValid(g, j, channels * kLanes, plane)) return;
    const float* row0 = in.image0.data() + in.image0.Index(j, 0, 0);
    const ShiftedRow& shifted = caches.image1Rows.ImageOne(in.image1, g, j);
    if (squares) {
      OnIsaPath<CrossMomentRow>(g, row0, shifted, block.k0, kValidFirst, g.columns - kValidFirst,
                                plane);
    } else {
      OnIsaPath<MomentRow>(g, row0, shifted, block.k0, kValidFirst, g.columns - kValidFirst, plane);
    }
  });
  const ShiftedRow& mu1Row = caches.meanRows.MeansOfImageOne(meansRow, g, i);
  const int firstInterior = kDisparityMargin - block.k0;
  const int lastInterior = g.disparities - kDisparityMargin - 1 - block.k0;
  constexpr int kMaxBandsOnStack = 16;
  std::vector<const float*> mu1Heap;
  const float* mu1Stack[kMaxBandsOnStack];
  const float** mu1 = mu1Stack;
  if (g.bands > kMaxBandsOnStack) {
    mu1Heap.resize(g.bands);
    mu1 = mu1Heap.data();
  }
  for (int b = 0; b < g.bands; ++b) mu1[b] = mu1Row.Band(b) + block.k0;
  if (squares) {
    OnIsaPath<CorrelationRowOfCross>(row, squares->ForBlock(block.k0), meansRow, mu1, g.bands,
                                     g.columns, values);
  } else {
    OnIsaPath<CorrelationRow>(row, meansRow, mu1, g.bands, g.columns, values);
  }
  // The normalised pixels are clamped; the others keep their raw values in L0
  // and 0 in Ln.
  const bool normalisedRow = InNormalisedRegion(g, i, kPixelMargin);
  const int c0 = normalisedRow ? kPixelMargin : g.columns;
  const int c1 = normalisedRow ? std::max(c0, g.columns - kPixelMargin) : g.columns;
  ln += block.k0;
  if (l0) {
    l0 += block.k0;
    OnIsaPath<ClampRow>(values, c0, c1, block.count, firstInterior, lastInterior, l0, ln,
                        g.disparities);
  } else {
    OnIsaPath<ClampRowCleared>(values, c0, c1, block.count, firstInterior, lastInterior, ln,
                               g.disparities);
  }
  for (int c = 0; c < g.columns; ++c) {
    if (c >= c0 && c < c1) continue;
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(c) * g.disparities;
    if (l0) std::copy_n(values + static_cast<std::ptrdiff_t>(c) * kLanes, block.count, l0 + at);
    std::fill_n(ln + at, block.count, 0.0f);
  }
}

}  // namespace

// Whole intensities take one moment per band and the squares' means, the
// others three moments. The latter's arena is given the larger of the two
// layouts (in practice their own), so that one figure serves a job whose
// images are not known.
std::size_t CorrelationRowMaker::ArenaBytes(const Geometry& g, int blocks, bool momentsInFloat) {
  auto streams = [&](int channels) {
    return blocks * StreamingBoxMean::Bytes(g.columns, channels * g.bands * kLanes, g.radius);
  };
  const std::size_t oneMoment = streams(1) + SquareMeans::Bytes(g);
  return StreamingBoxMean::Bytes(g.columns, 2 * g.bands, g.radius) +
         (momentsInFloat ? oneMoment : std::max(streams(3), oneMoment)) +
         ThreadArena::Bytes<float>(static_cast<std::size_t>(g.columns) * kLanes);
}

std::size_t CorrelationRowMaker::Bytes(const Geometry& g, bool momentsInFloat) {
  return Bytes(g, BlockCount(g), momentsInFloat);
}

std::size_t CorrelationRowMaker::Bytes(const Geometry& g, int blocks, bool momentsInFloat) {
  return ThreadArena::Bytes<std::byte>(ArenaBytes(g, blocks, momentsInFloat)) +
         CorrelationCaches::Bytes(g);
}

CorrelationRowMaker::CorrelationRowMaker(const CorrelationInputs& in, ThreadArena& arena)
    : CorrelationRowMaker(in, arena, 0, {0, BlockCount(in.g)}) {}

CorrelationRowMaker::CorrelationRowMaker(const CorrelationInputs& in, ThreadArena& arena, int first,
                                         BlockRange blocks)
    : in_(in), caches_(in.g) {
  const Geometry& g = in_.g;
  arena.Reset(ArenaBytes(g, blocks.end - blocks.first, in_.momentsInFloat));
  means_.emplace(g.rows, g.columns, 2 * g.bands, g.radius, arena, false, first);
  if (in_.momentsInFloat) squares_.emplace(g, arena);
  const int channels = (squares_ ? 1 : 3) * g.bands;
  streams_.reserve(static_cast<std::size_t>(blocks.end - blocks.first));
  for (int block = blocks.first; block < blocks.end; ++block) {
    const int k0 = block * kLanes;
    streams_.emplace_back(g, channels, k0, std::min(kLanes, g.disparities - k0), arena,
                          in_.momentsInFloat, first);
  }
  values_ = arena.Take<float>(static_cast<std::size_t>(g.columns) * kLanes);
}

void CorrelationRowMaker::Row(int i, float* l0, float* ln) {
  const float* meansRow = means_->Step(
      i, [this](int j, float* plane) { MaskedImageRow(in_.image0, in_.image1, in_.g, j, plane); });
  const SquareMeans* squares = nullptr;
  if (squares_) {
    squares_->Row(in_.image0, in_.image1, i);
    squares = &*squares_;
  }
  for (BlockStream& stream : streams_) {
    CorrelationBlockRow(in_, meansRow, squares, caches_, values_, stream, i, l0, ln);
  }
}

}  // namespace tavrel::fast
