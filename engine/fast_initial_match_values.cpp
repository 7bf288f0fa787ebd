#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "engine/fast_correlation_values.h"
#include "engine/fast_engine.h"
#include "engine/fast_memory.h"
#include "engine/fast_parallel.h"
#include "engine/fast_sad_values.h"
#include "engine/reference_engine.h"

// How the initial match values are scheduled: which thread takes which rows
// and blocks of disparity indices. The arithmetic is in fast_box_mean,
// fast_sad_values and fast_correlation_values.
//
// Initial match values, one block of kLanes disparity indices at a time.
//
// The straightforward computation fills one image-sized plane per disparity
// index (similarity, or the 3B moments), box-averages it and copies it into
// L0 with a stride of NumDisparities floats. Here a block of kLanes
// consecutive indices travels down the image together: each image row of the
// block's planes is made once (lanes = indices, adjacent in memory), kept in a
// ring of 2r + 2 rows, and the box mean runs as running sums carried from row
// to row (columns) and along the row (rows), exactly as BoxSum forms them,
// lane by lane.
//
// Correlation: the finished row goes straight into L0. Blocks are
// independent: each thread moves its blocks down the image together; no
// value depends on how they are shared. With whole intensities every box
// sum is exact, so a block's rows may also be split among threads, each
// part starting its sums afresh (see ComputeL0).
//
// SAD: the scaling needs the mean over all indices of each pixel, box-averaged
// again, so every block of a row moves together and the raw rows wait in a
// small ring until their background level is known; then each cell of L0
// and Ln is written once, with its final value. Threads take bands of rows,
// which is exact only when every box sum is (see ExactSadSums and
// ExactMeanSums); otherwise one thread runs the volume from the top.
namespace tavrel::fast {
namespace {

// Blocks first .. end - 1, every row.
std::vector<BlockRows> WholeBlocks(int first, int end, int rows) {
  std::vector<BlockRows> parts;
  for (int block = first; block < end; ++block) parts.push_back({block, 0, rows});
  return parts;
}

// Thread `thread`'s part of an even share of the blocks' rows among
// `threads`, counted block by block, each block's rows ascending.
std::vector<BlockRows> EvenBlockRows(int blocks, int rows, int thread, int threads) {
  const std::int64_t total = static_cast<std::int64_t>(blocks) * rows;
  const std::int64_t begin = total * thread / threads;
  const std::int64_t end = total * (thread + 1) / threads;
  std::vector<BlockRows> parts;
  for (int block = 0; block < blocks; ++block) {
    const std::int64_t blockBegin = static_cast<std::int64_t>(block) * rows;
    const std::int64_t first = std::max(begin, blockBegin);
    const std::int64_t last = std::min(end, blockBegin + rows);
    if (first < last) {
      parts.push_back(
          {block, static_cast<int>(first - blockBegin), static_cast<int>(last - blockBegin)});
    }
  }
  return parts;
}

// The SAD values of the whole volume. Each thread takes a band of rows when
// the box sums are exact, which ExactSadSums tells before and ExactMeanSums
// after: should the means turn out to span too many binades, the volume is
// done again as one band from the top, as the straightforward pass does it.
void ComputeSadValues(const SadJob& job) {
  int threads = 1;
#ifdef _OPENMP
  threads = std::min(omp_get_max_threads(), job.in.g.rows);
#endif
  if (threads > 1 && ExactSadSums(job.in.g.bands, job.in.byteIntensities)) {
    std::vector<MeanExtent> extents(static_cast<std::size_t>(threads));
    RegionFailure failure;
#pragma omp parallel num_threads(threads)
    failure.Run([&] {
      const Share rows = ShareOf(job.in.g.rows);
      if (rows.first < rows.end) SadRows(job, rows.first, rows.end, extents[rows.thread]);
    });
    failure.Rethrow();
    MeanExtent all;
    for (const MeanExtent& e : extents) all.Merge(e);
    if (ExactMeanSums(all, job.in.g.radius)) return;
  }
  MeanExtent unused;
  SadRows(job, 0, job.in.g.rows, unused);
}

// Window means of both images into MeansBytes(g) of `shared`. With exact
// sums (whole intensities: every window sum is a whole number far below
// 2^53) the threads take bands of rows, each band's sums formed afresh;
// otherwise one thread runs them down from the top.
ImageMeans MeanImages(const FloatArray& image0, const FloatArray& image1, const Geometry& g,
                      ThreadArena& shared, bool exactSums) {
  const int lanes = 2 * g.bands;
  float* means = shared.Take<float>(static_cast<std::size_t>(g.columns) * lanes * g.rows);
  RegionFailure failure;
#pragma omp parallel if (exactSums)
  failure.Run([&] {
    const Share rows = ShareOf(g.rows);
    MeanImageRows(image0, image1, g, means, rows.first, rows.end);
  });
  failure.Rethrow();
  return ImageMeans{means, g.columns, lanes};
}

// Each thread moves its blocks down the image together, so that the cache
// lines of a pixel's L0 values are written while they are in cache.
//
// Where the box sums are exact they may start at any row. The threads then
// share out the blocks' rows evenly, a block whose rows are split going to
// two threads, and each thread begins at its own part of the image and wraps
// round to the top, so that no two threads write the same rows at the same
// time: a pixel's values rarely fill whole cache lines, and threads on
// neighbouring blocks of one row would pass the lines they share back and
// forth. Otherwise each thread takes whole blocks and runs them from the top.
void ComputeCorrelationValues(const CorrelationJob& job) {
  const Geometry& g = job.in.g;
  const int blocks = (g.disparities + kLanes - 1) / kLanes;
  RegionFailure failure;
#pragma omp parallel
  failure.Run([&] {
    const Share share = ShareOf(blocks);
    const std::vector<BlockRows> mine =
        job.in.momentsInFloat ? EvenBlockRows(blocks, g.rows, share.thread, share.threads)
                              : WholeBlocks(share.first, share.end, g.rows);
    const int start =
        job.in.momentsInFloat
            ? static_cast<int>(static_cast<std::int64_t>(g.rows) * share.thread / share.threads)
            : 0;
    CorrelationCaches caches(g);
    CorrelationRows(job, mine, start, g.rows, caches);
    if (start > 0) CorrelationRows(job, mine, 0, start, caches);
  });
  failure.Rethrow();
}

}  // namespace

// Divisions by the band count and by NumDisparities run in float: for two
// floats a and b, float(double(a) / double(b)) equals the float quotient a / b
// (double carries more than twice float's precision), and both counts are
// whole numbers that float holds exactly up to 2^24. Larger counts take the
// straightforward engine.
void ComputeL0(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
               int winRadL0, float maxScaler, MatchCost cost) {
  ActiveIsaPath();  // chooses the path once, before any thread starts
  constexpr int kExactInFloat = 1 << 24;
  if (image0.bands() > kExactInFloat || matcher.NumDisparities > kExactInFloat) {
    reference::ComputeL0(matcher, image0, image1, winRadL0, maxScaler, cost);
    return;
  }
  Geometry g;
  g.rows = matcher.Rows;
  g.columns = matcher.Columns;
  g.disparities = matcher.NumDisparities;
  g.minDisparity = matcher.MinDisparity;
  g.bands = image0.bands();
  g.radius = winRadL0;
  AdviseHugePages(*matcher.L0);
  AdviseHugePages(*matcher.Ln);
  TouchPages(*matcher.L0);
  TouchPages(*matcher.Ln);
  if (cost == MatchCost::Sad) {
    const bool bytes = WholeIntensities(image0, 0.0f) && WholeIntensities(image1, 0.0f);
    const SadJob job{*matcher.L0, *matcher.Ln, {image0, image1, bytes, g, maxScaler}};
    if (g.disparities > 0) ComputeSadValues(job);
    return;
  }
  // Image-sized scratch of the calling thread, kept from one job to the next.
  ThreadArena& shared = ThreadArena::Mine(1);
  shared.Reset(MeansBytes(g));
  // Images read from 8-bit files hold whole intensities: their moments are
  // whole numbers up to 255 * 255, and their box means run exactly in float.
  const bool wholeIntensities =
      WholeIntensities(image0, -255.0f) && WholeIntensities(image1, -255.0f);
  const ImageMeans means = MeanImages(image0, image1, g, shared, wholeIntensities);
  const bool momentsInFloat = ExactInFloat(g.radius) && wholeIntensities;
  ComputeCorrelationValues({*matcher.L0, *matcher.Ln, {image0, image1, g, momentsInFloat}, means});
}

}  // namespace tavrel::fast
