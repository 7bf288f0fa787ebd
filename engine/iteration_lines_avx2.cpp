#include "engine/iteration_lines_avx2.h"

#include <algorithm>
#include <cstdint>

#include "engine/fast_isa.h"
#include "engine/stereo_matcher.h"

#if defined(__x86_64__)
#include "engine/avx_tiles.h"
#endif

namespace tavrel::streamed {
namespace {

constexpr int kLanes = 8;

// L0's row comes from far away (a whole volume, or a ring that later
// iterations still read), and the stream of it among the normalisation's
// others is not one the processor fetches ahead by itself: each pixel asks
// for the L0 cells of the pixel this many after it. Against none, on a
// 450 x 375 x 60 volume, 8 took 5 % less time per iteration in 9 of 10 runs
// in turn; on 1282-pixel rows of a job, no difference beyond the noise.
constexpr int kL0AheadPixels = 8;
constexpr int kFloatsPerLine = 16;

int Tiles(int n) { return (n + kLanes - 1) / kLanes; }

int RoundUp(int n, int to) { return (n + to - 1) / to * to; }

struct Sizes {
  int nc, nd, count, tiles, ndTiles, stride, padLow;

  explicit Sizes(const JobShape& s)
      : nc(s.columns - 2 * kPixelMargin),
        nd(s.disparities - 2 * kDisparityMargin),
        count(nd + 2 * s.winRadD + 1),
        tiles(Tiles(count)),
        ndTiles(Tiles(nd)),
        stride(2 * kLanes + kLanes * ndTiles),
        padLow(kLanes + kLanes * ndTiles) {}

  std::size_t Supports() const { return static_cast<std::size_t>(nc) * stride; }
  std::size_t ImageZero() const { return RoundUp(nc, AvxLines::kGroup); }
  std::size_t ImageOne() const {
    return static_cast<std::size_t>(padLow) + RoundUp(nc, kLanes) + kLanes * ndTiles + 2 * kLanes;
  }
  std::size_t Zeros() const { return static_cast<std::size_t>(kLanes) * ndTiles + kLanes; }
  // A group's values as doubles: per index, 16 pixels.
  std::size_t Wide() const { return static_cast<std::size_t>(tiles) * kLanes * AvxLines::kGroup; }
  // A group's supports: two tiles' worth of rows of eight pixels.
  std::size_t Narrow() const { return static_cast<std::size_t>(2) * ndTiles * kLanes * kLanes; }
};

}  // namespace

bool AvxLines::Available() {
#if defined(__x86_64__)
  return fast::PathHasAvx();
#else
  return false;
#endif
}

AvxLines::AvxLines(const JobShape& shape, int pieces) : shape_(shape) {
  const Sizes z(shape);
  nc_ = z.nc;
  nd_ = z.nd;
  wd_ = shape.winRadD;
  low_ = kDisparityMargin - wd_;
  count_ = z.count;
  tiles_ = z.tiles;
  ndTiles_ = z.ndTiles;
  stride_ = z.stride;
  padLow_ = z.padLow;
  // The padding of each line stays zero: the image-1 sums add whole
  // vectors of a pixel's supports, and a lane past them must add +0, which
  // leaves any sum that is not -0 as it was; these sums never are.
  supports_.assign(z.Supports(), 0.0f);
  imageZero_.assign(z.ImageZero(), 0.0f);
  imageOne_.assign(z.ImageOne(), 0.0f);
  zeros_.assign(z.Zeros(), 0.0f);
  pieces_.resize(static_cast<std::size_t>(std::max(pieces, 1)));
  for (Piece& p : pieces_) {
    p.wide.assign(z.Wide(), 0.0);
    p.narrow.assign(z.Narrow(), 0.0f);
  }
}

std::size_t AvxLines::Bytes(const JobShape& shape, int pieces) {
  const Sizes z(shape);
  const std::size_t floats = z.Supports() + z.ImageZero() + z.ImageOne() + z.Zeros();
  const std::size_t perPiece = z.Wide() * sizeof(double) + z.Narrow() * sizeof(float);
  return floats * sizeof(float) + static_cast<std::size_t>(std::max(pieces, 1)) * perPiece;
}

std::size_t AvxLines::BoxPadding(const JobShape& shape) {
  // The last group reaches kGroup - 1 pixels past the interior's end, whose
  // margin holds kPixelMargin of them, and its last tile up to 8 indices
  // past its pixel.
  const std::size_t pixels = AvxLines::kGroup;
  return pixels * shape.disparities + 2 * kLanes;
}

AvxLines::ImageOneSpan AvxLines::ImageOnePiece(int piece, int pieces) const {
  const std::ptrdiff_t chunks = RoundUp(nc_, kLanes) / kLanes;
  return {padLow_ + kLanes * (chunks * piece / pieces),
          padLow_ + kLanes * (chunks * (piece + 1) / pieces)};
}

std::ptrdiff_t AvxLines::LineStart(int cc) const {
  // Image-1 column kPixelMargin + cc + MinDisparity + first index, as an
  // index of imageOne_, whose first interior column is at padLow_.
  return static_cast<std::ptrdiff_t>(cc) + shape_.minDisparity + kDisparityMargin + padLow_;
}

#if defined(__x86_64__)

void AvxLines::Supports(const float* box, int begin, int end, int piece) {
  for (int first = begin; first < end; first += kGroup) {
    SupportsOfGroup(box, first, std::min(kGroup, end - first), pieces_[piece]);
  }
}

// Sixteen pixels from interior column `first`, of which `real` are to be
// stored: the others only keep the vectors whole.
__attribute__((target("avx2"))) void AvxLines::SupportsOfGroup(const float* box, int first,
                                                               int real, Piece& piece) {
  // The members in locals: the vector stores may alias anything, and the
  // compiler would otherwise load each member again after every store.
  const int D = shape_.disparities;
  const int nd = nd_;
  const int tiles = tiles_;
  const int ndTiles = ndTiles_;
  const int stride = stride_;
  const float* origin = box + static_cast<std::ptrdiff_t>(kPixelMargin + first) * D + low_;
  double* wide = piece.wide.data();
  // Index i's sixteen values as four vectors of four doubles at
  // wide + 16 i: pixels 0-3, 4-7, 8-11, 12-15.
  for (int t = 0; t < tiles; ++t) {
    for (int half = 0; half < 2; ++half) {
      __m256 x[kLanes];
      fast::LoadTransposed8(origin + static_cast<std::ptrdiff_t>(kLanes * half) * D + kLanes * t, D,
                            x);
      for (int i = 0; i < kLanes; ++i) {
        double* to = wide + (kLanes * t + i) * kGroup + kLanes * half;
        _mm256_storeu_pd(to, _mm256_cvtps_pd(_mm256_castps256_ps128(x[i])));
        _mm256_storeu_pd(to + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(x[i], 1)));
      }
    }
  }

  __m256d sum[4];
  for (int j = 0; j < 4; ++j) sum[j] = _mm256_loadu_pd(wide + 4 * j);
  for (int k = 1; k <= 2 * wd_; ++k) {
    for (int j = 0; j < 4; ++j)
      sum[j] = _mm256_add_pd(sum[j], _mm256_loadu_pd(wide + k * kGroup + 4 * j));
  }
  float* narrow = piece.narrow.data();
  float* narrowHigh = narrow + ndTiles * kLanes * kLanes;
  __m256 lineLow = _mm256_setzero_ps();
  __m256 lineHigh = _mm256_setzero_ps();
  const std::ptrdiff_t enterOffset = static_cast<std::ptrdiff_t>(2 * wd_ + 1) * kGroup;
  for (int d = 0; d < nd; ++d) {
    const __m256 low = _mm256_set_m128(_mm256_cvtpd_ps(sum[1]), _mm256_cvtpd_ps(sum[0]));
    const __m256 high = _mm256_set_m128(_mm256_cvtpd_ps(sum[3]), _mm256_cvtpd_ps(sum[2]));
    lineLow = _mm256_add_ps(lineLow, low);
    lineHigh = _mm256_add_ps(lineHigh, high);
    _mm256_storeu_ps(narrow + kLanes * d, low);
    _mm256_storeu_ps(narrowHigh + kLanes * d, high);
    const double* leave = wide + static_cast<std::ptrdiff_t>(d) * kGroup;
    const double* enter = leave + enterOffset;
    for (int j = 0; j < 4; ++j) {
      sum[j] = _mm256_add_pd(_mm256_sub_pd(sum[j], _mm256_loadu_pd(leave + 4 * j)),
                             _mm256_loadu_pd(enter + 4 * j));
    }
  }
  _mm256_storeu_ps(imageZero_.data() + first, lineLow);
  _mm256_storeu_ps(imageZero_.data() + first + kLanes, lineHigh);

  // Back to pixel-major: each pixel's supports, tile by tile; the rows of
  // `narrow` past nd_ are zero, and so are the lanes they give.
  float* lines = supports_.data() + static_cast<std::ptrdiff_t>(first) * stride + kLanes;
  for (int half = 0; half < 2; ++half) {
    const float* from = narrow + half * ndTiles * kLanes * kLanes;
    const int pixels = std::min(kLanes, real - kLanes * half);
    for (int t = 0; t < ndTiles; ++t) {
      __m256 y[kLanes];
      fast::LoadTransposed8(from + kLanes * kLanes * t, kLanes, y);
      float* to = lines + static_cast<std::ptrdiff_t>(kLanes * half) * stride + kLanes * t;
      // A whole group's loop has a known length and unrolls: one loop to
      // `pixels` for both ran slower (3 of 12 turns won, twice).
      if (pixels == kLanes) {
        for (int k = 0; k < kLanes; ++k) _mm256_storeu_ps(to + k * stride, y[k]);
      } else {
        for (int k = 0; k < pixels; ++k) _mm256_storeu_ps(to + k * stride, y[k]);
      }
    }
  }
}

// Each pixel adds its supports to the image-1 columns its line of sight
// meets: whole vectors at aligned places of imageOne_, read from the
// pixel's supports shifted (the zeros around them fill the lanes before and
// after). Pixels come in ascending column, so every sum takes its terms in
// the straightforward order; the next pixel adds to the same aligned
// vectors, which the processor forwards from the store just made.
__attribute__((target("avx2"))) void AvxLines::ImageOneSums(int piece, int pieces) {
  const ImageOneSpan span = ImageOnePiece(piece, pieces);
  std::fill(imageOne_.data() + span.lo, imageOne_.data() + span.hi, 0.0f);
  AddToImageOne(0, nc_, span.lo, span.hi);
}

void AvxLines::StartImageOne() {
  const ImageOneSpan span = ImageOnePiece(0, 1);
  std::fill(imageOne_.data() + span.lo, imageOne_.data() + span.hi, 0.0f);
}

void AvxLines::AddToImageOne(int begin, int end) {
  const ImageOneSpan span = ImageOnePiece(0, 1);
  AddToImageOne(begin, end, span.lo, span.hi);
}

// Pixels whose lines of sight all lie inside the interior and the span of
// sums being made add their terms together: each vector of sums is loaded
// once, takes the pixels' terms in ascending pixel order, and is stored
// once, instead of going through memory after each pixel's term, whose
// store the next pixel's load must wait for.
constexpr int kPixelsAtOnce = 8;
static_assert(kPixelsAtOnce <= 10, "neighbouring lines have 16 zeros between them");

// Pixels with their lines of sight at q, q + 1, ... add their supports to
// the sums [q rounded down to a vector, q + kPixelsAtOnce - 1 + nd). A pixel
// adds the zeros around its supports where its own line does not reach:
// +0 leaves these sums as they were. A pixel's line reads up to
// kPixelsAtOnce + 6 floats on either side of its supports, which are its own
// padding or its neighbours': every line has 8 zeros before it and at least
// 8 after, and a pixel's neighbour on the side it reads past its own padding
// is among the pixels at once. So at most 10 pixels at once.
__attribute__((target("avx2"), always_inline)) inline void AddPixelsAtOnce(
    float* sums, const float* first, std::ptrdiff_t stride, std::ptrdiff_t q, int nd) {
  const std::ptrdiff_t stop = q + kPixelsAtOnce - 1 + nd;
  for (std::ptrdiff_t a = q / kLanes * kLanes; a < stop; a += kLanes) {
    __m256 sum = _mm256_loadu_ps(sums + a);
    const float* line = first + (a - q);
    for (int p = 0; p < kPixelsAtOnce; ++p) {
      sum = _mm256_add_ps(sum, _mm256_loadu_ps(line + p * (stride - 1)));
    }
    _mm256_storeu_ps(sums + a, sum);
  }
}

// The pixels [begin, end) add to the sums of imageOne_ [lo, hi) (lo and hi
// on vector bounds). Columns past the interior take no terms: a line of
// sight that meets them takes no image-1 sum there, that is +0.
__attribute__((target("avx2"))) void AvxLines::AddToImageOne(int begin, int end, std::ptrdiff_t lo,
                                                             std::ptrdiff_t hi) {
  // Members in locals, as in SupportsOfGroup.
  float* sums = imageOne_.data();
  const float* supports = supports_.data() + kLanes;
  const std::ptrdiff_t stride = stride_;
  const int nd = nd_;
  const std::ptrdiff_t lineStart = LineStart(0);
  const std::ptrdiff_t interiorEnd = padLow_ + nc_;
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (int cc = begin; cc < end; ++cc) {
    const std::ptrdiff_t q = lineStart + cc;
    if (q + nd <= lo) continue;
    if (q >= hi) break;
    if (cc + kPixelsAtOnce <= end && q / kLanes * kLanes >= lo &&
        q + kPixelsAtOnce - 1 + nd <= std::min(hi, interiorEnd)) {
      AddPixelsAtOnce(sums, supports + cc * stride, stride, q, nd);
      cc += kPixelsAtOnce - 1;
      continue;
    }
    const float* line = supports + cc * stride;
    const std::ptrdiff_t stop = std::min<std::ptrdiff_t>({q + nd, hi, interiorEnd});
    for (std::ptrdiff_t a = std::max(q / kLanes * kLanes, lo); a < stop; a += kLanes) {
      const __m256 old = _mm256_loadu_ps(sums + a);
      __m256 sum = _mm256_add_ps(old, _mm256_loadu_ps(line + (a - q)));
      if (a + kLanes > interiorEnd) {
        const __m256i past =
            _mm256_cmpgt_epi32(lanes, _mm256_set1_epi32(static_cast<int>(interiorEnd - a - 1)));
        sum = _mm256_blendv_ps(sum, old, _mm256_castsi256_ps(past));
      }
      _mm256_storeu_ps(sums + a, sum);
    }
  }
}

// Eight cells of a pixel: v = S / T (S where T is 0: the quotient by 1),
// v < 0 -> 0 with NaN kept (max returns its second operand unless the
// first is greater), then L0 * v * v. T is the image-1 sum plus the
// image-0 sum.
__attribute__((target("avx2"), always_inline)) inline __m256 NormalisedChunk(const float* supports,
                                                                             const float* imageOne,
                                                                             __m256 imageZero,
                                                                             const float* l0) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 t = _mm256_add_ps(_mm256_loadu_ps(imageOne), imageZero);
  const __m256 divisor =
      _mm256_blendv_ps(_mm256_set1_ps(1.0f), t, _mm256_cmp_ps(t, zero, _CMP_NEQ_UQ));
  __m256 v = _mm256_div_ps(_mm256_loadu_ps(supports), divisor);
  v = _mm256_max_ps(zero, v);
  return _mm256_mul_ps(_mm256_loadu_ps(l0), _mm256_mul_ps(v, v));
}

__attribute__((target("avx2"))) void AvxLines::Normalise(const float* l0, float* out, int begin,
                                                         int end) const {
  // Members in locals, as in SupportsOfGroup.
  const int D = shape_.disparities;
  const int nd = nd_;
  const int nc = nc_;
  const std::ptrdiff_t stride = stride_;
  const std::ptrdiff_t lineStart = LineStart(0);
  const std::ptrdiff_t interiorBegin = padLow_;
  const std::ptrdiff_t interiorEnd = padLow_ + nc;
  const float* imageOne = imageOne_.data();
  const float* imageZero = imageZero_.data();
  const float* zeros = zeros_.data();
  const float* supports = supports_.data() + kLanes;
  for (int cc = begin; cc < end; ++cc) {
    const std::ptrdiff_t q = lineStart + cc;
    const bool meets = q + nd > interiorBegin && q < interiorEnd;
    const float* totals = meets ? imageOne + q : zeros;
    const __m256 lineZero = _mm256_set1_ps(imageZero[cc]);
    const float* line = supports + cc * stride;
    const std::ptrdiff_t cell =
        static_cast<std::ptrdiff_t>(kPixelMargin + cc) * D + kDisparityMargin;
    std::fill_n(out + cell - kDisparityMargin, kDisparityMargin, 0.0f);
    std::fill_n(out + cell + nd, kDisparityMargin, 0.0f);
    if (cc + kL0AheadPixels < nc) {
      const float* ahead = l0 + cell + static_cast<std::ptrdiff_t>(kL0AheadPixels) * D;
      for (int k = 0; k < nd; k += kFloatsPerLine) {
        _mm_prefetch(reinterpret_cast<const char*>(ahead + k), _MM_HINT_T0);
      }
      _mm_prefetch(reinterpret_cast<const char*>(ahead + nd - 1), _MM_HINT_T0);
    }
    int j = 0;
    for (; j + kLanes <= nd; j += kLanes)
      _mm256_storeu_ps(out + cell + j,
                       NormalisedChunk(line + j, totals + j, lineZero, l0 + cell + j));
    if (j == nd) continue;
    if (nd >= kLanes) {
      // The last vector overlaps the one before; its cells get the same values again.
      _mm256_storeu_ps(out + cell + nd - kLanes,
                       NormalisedChunk(line + nd - kLanes, totals + nd - kLanes, lineZero,
                                       l0 + cell + nd - kLanes));
    } else {
      const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
      const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(nd), lanes);
      _mm256_maskstore_ps(out + cell, mask, NormalisedChunk(line, totals, lineZero, l0 + cell));
    }
  }
}

#else

void AvxLines::Supports(const float*, int, int, int) {}
void AvxLines::SupportsOfGroup(const float*, int, int, Piece&) {}
void AvxLines::ImageOneSums(int, int) {}
void AvxLines::StartImageOne() {}
void AvxLines::AddToImageOne(int, int) {}
void AvxLines::AddToImageOne(int, int, std::ptrdiff_t, std::ptrdiff_t) {}
void AvxLines::Normalise(const float*, float*, int, int) const {}

#endif

}  // namespace tavrel::streamed
