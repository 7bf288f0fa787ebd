#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/fast_isa.h"
#include "engine/fast_transpose.h"
#include "engine/iteration_lines_avx2.h"
#include "engine/match_volume.h"
#include "engine/streamed_stages.h"
#include "engine/vector_tail.h"

// One iteration as rows. For an interior row: the box sum of the rows
// around it (the column sums carried down the image as the whole-volume box
// sum carries them), then within the row the sums along the indices, the
// image-0 and image-1 line sums, the normalisation, clamp and square, and
// the product with L0. Rows outside the interior are 0.
//
// The row's work runs on interior columns transposed to index-major order,
// so that the running sums along the indices advance a vector of pixels at
// once; every lane performs the scalar sequence of roundings. Float sums,
// quotients and products of two floats equal the double operation rounded
// to float, which is what the straightforward iteration stores.
namespace tavrel::streamed {
namespace {

// The interior's columns and indices as the row kernel sees them.
struct RowGeometry {
  int nc = 0;     // interior columns; the first is kPixelMargin
  int nd = 0;     // interior indices; the first is kDisparityMargin
  int low = 0;    // first index the sums along the indices read
  int count = 0;  // indices they read: nd + 2 WinRadD + 1

  explicit RowGeometry(const JobShape& s)
      : nc(s.columns - 2 * kPixelMargin),
        nd(s.disparities - 2 * kDisparityMargin),
        low(kDisparityMargin - s.winRadD),
        count(nd + 2 * s.winRadD + 1) {}
};

// Piece p of n of the range [0, total): the same split for any use.
void Piece(int total, int p, int n, int& begin, int& end) {
  begin = static_cast<int>(static_cast<std::int64_t>(total) * p / n);
  end = static_cast<int>(static_cast<std::int64_t>(total) * (p + 1) / n);
}

// The interior columns cc (image-0 column kPixelMargin + cc) whose image-1
// column at index d lies in the interior: [begin, end), clipped to
// [from, to).
void ImageOneInterior(const JobShape& s, const RowGeometry& g, int d, int from, int to, int& begin,
                      int& end) {
  const std::int64_t offset = static_cast<std::int64_t>(s.minDisparity) + d;
  // kPixelMargin + cc + offset within kPixelMargin .. kPixelMargin + nc - 1.
  const std::int64_t lo = std::max<std::int64_t>(from, -offset);
  const std::int64_t hi = std::min<std::int64_t>(to, g.nc - offset);
  begin = static_cast<int>(std::clamp<std::int64_t>(lo, from, to));
  end = static_cast<int>(std::clamp<std::int64_t>(hi, begin, to));
}

// Sums along the indices of the interior columns begin .. end - 1 of one
// row, from the box sums transposed (row j holds index g.low + j of every
// interior column): supports[d][cc] gets the sum over d - wd .. d + wd as
// the running sum in double forms it (one subtraction and one addition per
// step), p0[cc] their float sum, d ascending. A vector of columns at once.
TAVREL_KERNEL void SumAlongIndices(const float* __restrict transposed, const RowGeometry& g, int wd,
                                   int begin, int end, double* __restrict sums,
                                   float* __restrict supports, float* __restrict p0) {
  auto at = [transposed, &g](int index) {
    return transposed + static_cast<std::ptrdiff_t>(index - g.low) * g.nc;
  };
  const int first = kDisparityMargin;
  const float* start = at(first - wd);
  for (int cc = begin; cc < end; ++cc) sums[cc] = start[cc];
  for (int k = first - wd + 1; k <= first + wd; ++k) {
    const float* in = at(k);
    for (int cc = begin; cc < end; ++cc) sums[cc] += in[cc];
  }
  for (int cc = begin; cc < end; ++cc) p0[cc] = 0.0f;
  for (int d = first; d < first + g.nd; ++d) {
    float* out = supports + static_cast<std::ptrdiff_t>(d - first) * g.nc;
    const float* leave = at(d - wd);
    const float* enter = at(d + wd + 1);
    for (int cc = begin; cc < end; ++cc) {
      const float value = static_cast<float>(sums[cc]);
      out[cc] = value;
      p0[cc] += value;
      sums[cc] = (sums[cc] - leave[cc]) + enter[cc];
    }
  }
}

// Image-1 line sums of the image-1 interior columns kPixelMargin + begin ..
// kPixelMargin + end - 1, into p1 (indexed by image-1 column): each gathers
// its cells with image-0 columns ascending, that is indices descending.
TAVREL_KERNEL void GatherImageOneSums(const float* __restrict supports, const RowGeometry& g,
                                      int minDisparity, int begin, int end, float* __restrict p1) {
  for (int c = begin; c < end; ++c) p1[kPixelMargin + c] = 0.0f;
  for (int d = kDisparityMargin + g.nd - 1; d >= kDisparityMargin; --d) {
    const std::int64_t offset = static_cast<std::int64_t>(minDisparity) + d;
    // Image-1 column kPixelMargin + cc + offset for image-0 column cc.
    const std::int64_t from = std::max<std::int64_t>(begin - offset, 0);
    const std::int64_t to = std::min<std::int64_t>(end - offset, g.nc);
    if (from >= to) continue;
    const float* in = supports + static_cast<std::ptrdiff_t>(d - kDisparityMargin) * g.nc;
    const std::int64_t shift = kPixelMargin + offset;
    for (std::int64_t cc = from; cc < to; ++cc) p1[shift + cc] += in[cc];
  }
}

// v * v for v = S / T (S where T is 0), v < 0 -> 0 (NaN stays), lane by
// lane. The quotient by 1 where T is 0 gives S itself, so every lane
// divides: a whole vector, never a division per lane.
constexpr int kWidth = fast::kTailWidth;

using Vector = float __attribute__((vector_size(kWidth * sizeof(float))));

TAVREL_KERNEL Vector LoadVector(const float* from) {
  Vector v;
  std::memcpy(&v, from, sizeof v);
  return v;
}

TAVREL_KERNEL Vector NormalisedSquare(Vector s, Vector t) {
  const Vector zero = {};
  const Vector one = zero + 1.0f;
  Vector v = s / (t != zero ? t : one);
  v = v < zero ? zero : v;
  return v * v;
}

// values[cc] = NormalisedSquare(values[cc], T) for cc in [begin, end),
// T = p0[cc] plus p1[shift + cc] where p1 is given. A last part shorter than
// a vector is padded (S 0, T 1) so that it too divides as a vector.
TAVREL_KERNEL void NormaliseAndSquare(float* __restrict values, const float* __restrict p0,
                                      const float* __restrict p1, std::int64_t shift, int begin,
                                      int end) {
  int cc = begin;
  if (p1) {
    for (; cc + kWidth <= end; cc += kWidth) {
      const Vector t = LoadVector(p1 + shift + cc) + LoadVector(p0 + cc);
      const Vector v = NormalisedSquare(LoadVector(values + cc), t);
      std::memcpy(values + cc, &v, sizeof v);
    }
  } else {
    for (; cc + kWidth <= end; cc += kWidth) {
      const Vector v = NormalisedSquare(LoadVector(values + cc), LoadVector(p0 + cc));
      std::memcpy(values + cc, &v, sizeof v);
    }
  }
  if (cc == end) return;
  const std::size_t rest = static_cast<std::size_t>(end - cc);
  fast::TailLanes supports(values + cc, rest, 0.0f);
  fast::TailLanes totals(p0 + cc, rest, 1.0f);
  if (p1) {
    for (std::size_t k = 0; k < rest; ++k) totals.lanes[k] = p1[shift + cc + k] + totals.lanes[k];
  }
  const Vector v = NormalisedSquare(LoadVector(supports.lanes), LoadVector(totals.lanes));
  std::memcpy(supports.lanes, &v, sizeof v);
  supports.CopyTo(values + cc, rest);
}

// Zeroes the pixels of an interior row outside the interior columns.
void ClearEdgePixels(const JobShape& s, float* out) {
  const RowGeometry g(s);
  const int D = s.disparities;
  std::fill_n(out, static_cast<std::ptrdiff_t>(kPixelMargin) * D, 0.0f);
  std::fill(out + static_cast<std::ptrdiff_t>(kPixelMargin + g.nc) * D,
            out + static_cast<std::ptrdiff_t>(s.columns) * D, 0.0f);
}

// Zeroes the cells of an interior row outside the interior; the row's work
// writes every cell inside it.
void ClearBorder(const JobShape& s, float* out) {
  const RowGeometry g(s);
  const int D = s.disparities;
  ClearEdgePixels(s, out);
  for (int c = 0; c < g.nc; ++c) {
    float* pixel = out + static_cast<std::ptrdiff_t>(kPixelMargin + c) * D;
    // nd = D - 2 kDisparityMargin: as many border indices after as before.
    std::fill_n(pixel, kDisparityMargin, 0.0f);
    std::fill_n(pixel + kDisparityMargin + g.nd, kDisparityMargin, 0.0f);
  }
}

}  // namespace

IterationScratch::IterationScratch(const JobShape& shape, Threads threads) {
  if (shape.InteriorEmpty()) return;
  if (AvxLines::Available()) {
    boxRow_.resize(shape.RowSize() + AvxLines::BoxPadding(shape));
    avxLines_ = std::make_unique<AvxLines>(shape, threads.count);
    return;
  }
  const RowGeometry g(shape);
  boxRow_.resize(shape.RowSize());
  transposed_.resize(static_cast<std::size_t>(g.count) * g.nc);
  runningSums_.resize(static_cast<std::size_t>(g.nc));
  supports_.resize(static_cast<std::size_t>(g.nd) * g.nc);
  imageZeroSums_.resize(static_cast<std::size_t>(g.nc));
  imageOneSums_.resize(static_cast<std::size_t>(shape.columns));
}

IterationScratch::~IterationScratch() = default;

std::size_t IterationScratch::Bytes(const JobShape& shape, Threads threads) {
  if (shape.InteriorEmpty()) return 0;
  if (AvxLines::Available()) {
    return (shape.RowSize() + AvxLines::BoxPadding(shape)) * sizeof(float) +
           AvxLines::Bytes(shape, threads.count);
  }
  const RowGeometry g(shape);
  const std::size_t floats = shape.RowSize() + static_cast<std::size_t>(g.count) * g.nc +
                             static_cast<std::size_t>(g.nd) * g.nc + g.nc + shape.columns;
  return floats * sizeof(float) + static_cast<std::size_t>(g.nc) * sizeof(double);
}

IterationStage::IterationStage(const JobShape& shape, RowSource& before, RowSource& l0,
                               Threads threads, int keep, IterationScratch& scratch)
    : shape_(shape),
      l0_(l0),
      threads_(threads),
      box_(
          {shape.rows, shape.columns, shape.disparities, shape.winRadRC},
          [&before](int row) { return before.Row(row); }, threads),
      ring_(keep, shape.RowSize()),
      scratch_(scratch) {}

IterationStage::~IterationStage() = default;

std::size_t IterationStage::Bytes(const JobShape& shape, int keep) {
  return StreamedBox::Bytes({shape.rows, shape.columns, shape.disparities, shape.winRadRC}) +
         RowRing::Bytes(keep, shape.RowSize());
}

const float* IterationStage::Row(int row) {
  while (ring_.newest() < row) {
    const int next = ring_.newest() + 1;
    MakeRow(next, ring_.Make(next));
  }
  return ring_.Row(row);
}

void IterationStage::MakeRow(int row, float* out) {
  if (shape_.InteriorEmpty() || row < kPixelMargin || row > shape_.rows - kPixelMargin - 1) {
    std::fill_n(out, shape_.RowSize(), 0.0f);
    return;
  }
  // The vector normalisation zeroes the border indices of the pixels it makes.
  if (scratch_.avxLines_) {
    ClearEdgePixels(shape_, out);
  } else {
    ClearBorder(shape_, out);
  }
  if (scratch_.avxLines_ && AvxPieces() == 1) {
    MakeRowInChunks(row, out);
    return;
  }
  // The box asks for every row it reads before it writes its sums.
  box_.Row(row, scratch_.boxRow_.data());
  const float* l0 = l0_.Row(row);
  if (scratch_.avxLines_) {
    MakeRowOnAvx2(l0, out);
  } else {
    MakeRowAnywhere(l0, out);
  }
}

int IterationStage::AvxPieces() const {
  const RowGeometry g(shape_);
  const int groups = (g.nc + AvxLines::kGroup - 1) / AvxLines::kGroup;
  const std::ptrdiff_t cells = static_cast<std::ptrdiff_t>(g.nc) * shape_.disparities;
  return std::min(ThreadsFor(cells, threads_), groups);
}

// On one thread, each group of pixels takes its supports as soon as the box
// has made its columns, and each pixel is normalised as soon as its image-1
// sums are whole: its data are still in the core's cache.
void IterationStage::MakeRowInChunks(int row, float* out) {
  const RowGeometry g(shape_);
  AvxLines& lines = *scratch_.avxLines_;
  float* box = scratch_.boxRow_.data();
  const float* l0 = nullptr;
  int supported = 0;   // pixels with their supports and image-1 terms
  int normalised = 0;  // pixels made
  box_.RowInChunks(row, box, [&](int columns) {
    // The box has fetched every row it reads: the scratch is this stage's
    // until the row is made.
    if (!l0) {
      l0 = l0_.Row(row);
      lines.StartImageOne();
    }
    // A group reads its pixels' box sums and the first indices of the pixel after them.
    const bool all = columns == shape_.columns;
    while (supported < g.nc &&
           (all || kPixelMargin + supported + AvxLines::kGroup + 1 <= columns)) {
      const int end = std::min(supported + AvxLines::kGroup, g.nc);
      lines.Supports(box, supported, end, 0);
      lines.AddToImageOne(supported, end);
      supported = end;
    }
    const int whole = supported == g.nc ? g.nc : std::max(0, supported - lines.ImageOneLag());
    if (whole > normalised) {
      lines.Normalise(l0, out, normalised, whole);
      normalised = whole;
    }
  });
}

// The row's interior columns in groups, shared among the threads; the
// image-1 sums wait for every support of the row.
void IterationStage::MakeRowOnAvx2(const float* l0, float* out) {
  const RowGeometry g(shape_);
  const int groups = (g.nc + AvxLines::kGroup - 1) / AvxLines::kGroup;
  const int pieces = AvxPieces();
  AvxLines& lines = *scratch_.avxLines_;
  const float* box = scratch_.boxRow_.data();
#pragma omp parallel num_threads(pieces)
  {
#pragma omp for schedule(static)
    for (int piece = 0; piece < pieces; ++piece) {
      int begin = 0;
      int end = 0;
      Piece(groups, piece, pieces, begin, end);
      lines.Supports(box, begin * AvxLines::kGroup, std::min(end * AvxLines::kGroup, g.nc), piece);
    }
#pragma omp for schedule(static)
    for (int piece = 0; piece < pieces; ++piece) lines.ImageOneSums(piece, pieces);
#pragma omp for schedule(static)
    for (int piece = 0; piece < pieces; ++piece) {
      int begin = 0;
      int end = 0;
      Piece(g.nc, piece, pieces, begin, end);
      lines.Normalise(l0, out, begin, end);
    }
  }
}

void IterationStage::MakeRowAnywhere(const float* l0, float* out) {
  const JobShape& s = shape_;
  const RowGeometry g(s);
  const int D = s.disparities;
  const int wd = s.winRadD;
  const int first = kDisparityMargin;
  const int last = D - kDisparityMargin - 1;
  const float* box = scratch_.boxRow_.data();
  float* transposed = scratch_.transposed_.data();
  double* sums = scratch_.runningSums_.data();
  float* supports = scratch_.supports_.data();
  float* p0 = scratch_.imageZeroSums_.data();
  float* p1 = scratch_.imageOneSums_.data();

  const std::ptrdiff_t cells = static_cast<std::ptrdiff_t>(g.nc) * D;
  const int pieces = ThreadsFor(cells, threads_);
#pragma omp parallel num_threads(pieces)
  {
#pragma omp for schedule(static)
    for (int piece = 0; piece < pieces; ++piece) {
      int begin = 0;
      int end = 0;
      Piece(g.nc, piece, pieces, begin, end);
      fast::Transpose(box + static_cast<std::ptrdiff_t>(kPixelMargin + begin) * D + g.low, D,
                      transposed + begin, g.nc, end - begin, g.count);
      fast::OnIsaPath<SumAlongIndices>(transposed, g, wd, begin, end, sums, supports, p0);
    }
#pragma omp for schedule(static)
    for (int piece = 0; piece < pieces; ++piece) {
      int begin = 0;
      int end = 0;
      Piece(g.nc, piece, pieces, begin, end);
      fast::OnIsaPath<GatherImageOneSums>(supports, g, s.minDisparity, begin, end, p1);
    }
#pragma omp for schedule(static)
    for (int piece = 0; piece < pieces; ++piece) {
      int begin = 0;
      int end = 0;
      Piece(g.nc, piece, pieces, begin, end);
      for (int d = first; d <= last; ++d) {
        int withBegin = 0;
        int withEnd = 0;
        ImageOneInterior(s, g, d, begin, end, withBegin, withEnd);
        const std::int64_t shift = kPixelMargin + static_cast<std::int64_t>(s.minDisparity) + d;
        float* values = supports + static_cast<std::ptrdiff_t>(d - first) * g.nc;
        fast::OnIsaPath<NormaliseAndSquare>(values, p0, nullptr, 0, begin, withBegin);
        fast::OnIsaPath<NormaliseAndSquare>(values, p0, p1, shift, withBegin, withEnd);
        fast::OnIsaPath<NormaliseAndSquare>(values, p0, nullptr, 0, withEnd, end);
      }
      const std::ptrdiff_t firstCell =
          static_cast<std::ptrdiff_t>(kPixelMargin + begin) * D + first;
      fast::TransposeMultiply(supports + begin, g.nc, l0 + firstCell, out + firstCell, D, g.nd,
                              end - begin);
    }
  }
}

}  // namespace tavrel::streamed
