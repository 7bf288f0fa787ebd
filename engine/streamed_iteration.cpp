#include <algorithm>
#include <cstdint>

#include "engine/match_volume.h"
#include "engine/streamed_stages.h"

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

}  // namespace

IterationStage::IterationStage(const JobShape& shape, RowSource& before, RowSource& l0,
                               Threads threads)
    : shape_(shape),
      l0_(l0),
      threads_(threads),
      box_(
          {shape.rows, shape.columns, shape.disparities, shape.winRadRC, false},
          [&before, size = shape.RowSize()](int row, float* out) {
            std::copy_n(before.Row(row), size, out);
          },
          threads),
      ring_(1, shape.RowSize()) {
  if (shape_.InteriorEmpty()) return;
  const RowGeometry g(shape_);
  boxRow_.resize(shape_.RowSize());
  transposed_.resize(static_cast<std::size_t>(g.count) * g.nc);
  runningSums_.resize(static_cast<std::size_t>(g.nc));
  supports_.resize(static_cast<std::size_t>(g.nd) * g.nc);
  imageZeroSums_.resize(static_cast<std::size_t>(g.nc));
  imageOneSums_.resize(static_cast<std::size_t>(shape_.columns));
}

std::size_t IterationStage::Bytes(const JobShape& shape) {
  std::size_t bytes =
      StreamedBox::Bytes({shape.rows, shape.columns, shape.disparities, shape.winRadRC, false}) +
      RowRing::Bytes(1, shape.RowSize());
  if (shape.InteriorEmpty()) return bytes;
  const RowGeometry g(shape);
  const std::size_t floats = shape.RowSize() + static_cast<std::size_t>(g.count) * g.nc +
                             static_cast<std::size_t>(g.nd) * g.nc + g.nc + shape.columns;
  return bytes + floats * sizeof(float) + static_cast<std::size_t>(g.nc) * sizeof(double);
}

const float* IterationStage::Row(int row) {
  while (ring_.newest() < row) {
    const int next = ring_.newest() + 1;
    MakeRow(next, ring_.Make(next));
  }
  return ring_.Row(row);
}

void IterationStage::MakeRow(int row, float* out) {
  std::fill_n(out, shape_.RowSize(), 0.0f);
  if (shape_.InteriorEmpty() || row < kPixelMargin || row > shape_.rows - kPixelMargin - 1) return;
  box_.Row(row, boxRow_.data());
  const float* l0 = l0_.Row(row);

  const JobShape& s = shape_;
  const RowGeometry g(s);
  const int D = s.disparities;
  const int wd = s.winRadD;
  const int first = kDisparityMargin;
  const int last = D - kDisparityMargin - 1;
  const float* box = boxRow_.data();
  float* transposed = transposed_.data();
  double* sums = runningSums_.data();
  float* supports = supports_.data();
  float* p0 = imageZeroSums_.data();
  float* p1 = imageOneSums_.data();
  auto at = [transposed, &g](int index) {
    return transposed + static_cast<std::ptrdiff_t>(index - g.low) * g.nc;
  };
  auto support = [supports, &g, first](int d) {
    return supports + static_cast<std::ptrdiff_t>(d - first) * g.nc;
  };

  const std::ptrdiff_t cells = static_cast<std::ptrdiff_t>(g.nc) * D;
  const int pieces = ThreadsFor(cells, threads_);
#pragma omp parallel num_threads(pieces)
  {
    // Sums along the indices and the image-0 line sums, per block of columns.
#pragma omp for schedule(static)
    for (int piece = 0; piece < pieces; ++piece) {
      int begin = 0;
      int end = 0;
      Piece(g.nc, piece, pieces, begin, end);
      for (int cc = begin; cc < end; ++cc) {
        const float* pixel = box + static_cast<std::ptrdiff_t>(kPixelMargin + cc) * D + g.low;
        for (int j = 0; j < g.count; ++j)
          transposed[static_cast<std::ptrdiff_t>(j) * g.nc + cc] = pixel[j];
      }
      const float* start = at(first - wd);
      for (int cc = begin; cc < end; ++cc) sums[cc] = start[cc];
      for (int k = first - wd + 1; k <= first + wd; ++k) {
        const float* in = at(k);
        for (int cc = begin; cc < end; ++cc) sums[cc] += in[cc];
      }
      std::fill(p0 + begin, p0 + end, 0.0f);
      for (int d = first; d <= last; ++d) {
        float* out = support(d);
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

    // Image-1 line sums, per block of image-1 columns: each column gathers
    // its cells with image-0 columns ascending, that is indices descending.
#pragma omp for schedule(static)
    for (int piece = 0; piece < pieces; ++piece) {
      int begin = 0;
      int end = 0;
      Piece(g.nc, piece, pieces, begin, end);
      std::fill(p1 + kPixelMargin + begin, p1 + kPixelMargin + end, 0.0f);
      for (int d = last; d >= first; --d) {
        const std::int64_t offset = static_cast<std::int64_t>(s.minDisparity) + d;
        // Image-1 interior columns begin .. end - 1 (relative) come from
        // image-0 interior columns cc = c1 - offset.
        const std::int64_t from = std::max<std::int64_t>(begin - offset, 0);
        const std::int64_t to = std::min<std::int64_t>(end - offset, g.nc);
        if (from >= to) continue;
        const float* in = support(d);
        for (std::int64_t cc = from; cc < to; ++cc) p1[kPixelMargin + offset + cc] += in[cc];
      }
    }

    // Normalisation, clamp, square and the product with L0.
#pragma omp for schedule(static)
    for (int piece = 0; piece < pieces; ++piece) {
      int begin = 0;
      int end = 0;
      Piece(g.nc, piece, pieces, begin, end);
      for (int d = first; d <= last; ++d) {
        float* values = support(d);
        int withBegin = 0;
        int withEnd = 0;
        ImageOneInterior(s, g, d, begin, end, withBegin, withEnd);
        const std::int64_t shift = kPixelMargin + static_cast<std::int64_t>(s.minDisparity) + d;
        for (int cc = begin; cc < withBegin; ++cc) {
          const float total = p0[cc];
          float v = total != 0.0f ? values[cc] / total : values[cc];
          v = v < 0.0f ? 0.0f : v;
          values[cc] = v * v;
        }
        for (int cc = withBegin; cc < withEnd; ++cc) {
          const float total = p1[shift + cc] + p0[cc];
          float v = total != 0.0f ? values[cc] / total : values[cc];
          v = v < 0.0f ? 0.0f : v;
          values[cc] = v * v;
        }
        for (int cc = withEnd; cc < end; ++cc) {
          const float total = p0[cc];
          float v = total != 0.0f ? values[cc] / total : values[cc];
          v = v < 0.0f ? 0.0f : v;
          values[cc] = v * v;
        }
      }
      for (int cc = begin; cc < end; ++cc) {
        const std::ptrdiff_t pixel = static_cast<std::ptrdiff_t>(kPixelMargin + cc) * D;
        for (int d = first; d <= last; ++d) {
          out[pixel + d] = l0[pixel + d] * support(d)[cc];
        }
      }
    }
  }
}

}  // namespace tavrel::streamed
