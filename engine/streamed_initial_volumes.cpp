#include "engine/streamed_initial_volumes.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "engine/fast_correlation_values.h"
#include "engine/fast_parallel.h"
#include "engine/fast_sad_values.h"
#include "engine/streamed_initial_inputs.h"

namespace tavrel::streamed {
namespace {

// Part `part` of `parts` even shares of count items: its first item, and
// with part + 1 its end.
int ShareStart(int count, int part, int parts) {
  return static_cast<int>(static_cast<long long>(count) * part / parts);
}

// Each thread's row maker holds a few rows' worth of the volume; on a
// machine of many threads they would add up to a good part of it. Up to
// 64 MB together they run on every thread, beyond that on as many as keep
// them to a quarter of one volume.
constexpr double kMakersAlwaysAllowed = 64.0 * 1024 * 1024;
constexpr double kMakersShareOfVolume = 0.25;

// The most row makers that may run at once.
int MostParts(const JobShape& s) {
  const fast::Geometry g = GeometryOf(s);
  const double maker = static_cast<double>(
      s.sad ? fast::SadRowMaker::Bytes(g) : fast::CorrelationRowMaker::Bytes(g, MomentsInFloat(s)));
  const double volume = static_cast<double>(s.rows) * s.RowSize() * sizeof(float);
  const double allowed = std::max(kMakersAlwaysAllowed, kMakersShareOfVolume * volume);
  return static_cast<int>(std::clamp(std::floor(allowed / maker), 1.0, 1024.0));
}

// Bands of rows: one per thread, never an empty one.
int RowBands(const JobShape& s, int threads) {
  return std::clamp(std::min(threads, MostParts(s)), 1, std::max(s.rows, 1));
}

// Shares of the blocks of indices: one per thread, never an empty one.
int BlockShares(const JobShape& s, int threads) {
  return std::clamp(std::min(threads, MostParts(s)), 1,
                    std::max(fast::BlockCount(GeometryOf(s)), 1));
}

float* RowOf(FloatArray& volume, int row) { return volume.data() + volume.Index(row, 0, 0); }

// One thread's rows first .. end - 1 and the maker of their values, with
// the scratch it holds.
struct SadPart {
  SadPart(const fast::SadInputs& in, int first, int end)
      : first(first), end(end), maker(in, first, arena, extent) {}

  int first;
  int end;
  fast::ThreadArena arena;
  fast::MeanExtent extent;  // the pixel means met on the way
  fast::SadRowMaker maker;
};

struct CorrelationPart {
  CorrelationPart(const fast::CorrelationInputs& in, int first, int end, fast::BlockRange blocks)
      : first(first), end(end), maker(in, arena, first, blocks) {}

  int first;
  int end;
  fast::ThreadArena arena;
  fast::CorrelationRowMaker maker;
};

// Runs every part on a thread of its own. The parts are all made before, so
// that the heap they take together does not depend on when each thread
// starts. A failure in any part is rethrown once all have stopped.
template <typename Part>
void RunParts(const std::vector<std::unique_ptr<Part>>& parts, FloatArray& L0, FloatArray& Ln) {
  const int count = static_cast<int>(parts.size());
  fast::RegionFailure failure;
#pragma omp parallel for num_threads(count) schedule(static, 1)
  for (int p = 0; p < count; ++p) {
    failure.Run([&] {
      Part& part = *parts[p];
      for (int i = part.first; i < part.end; ++i) part.maker.Row(i, RowOf(L0, i), RowOf(Ln, i));
    });
  }
  failure.Rethrow();
}

// Bands of rows where the similarities' box sums are exact. Whether the
// background level's are too shows only once its means are known; where they
// are not, the values are made again from the top.
void MakeSadVolumes(const JobShape& s, const FloatArray& image0, const FloatArray& image1,
                    FloatArray& L0, FloatArray& Ln, int threads) {
  const fast::SadInputs in = SadInputsOf(s, image0, image1);
  const int bands = fast::ExactSadSums(s.bands, in.byteIntensities) ? RowBands(s, threads) : 1;
  std::vector<std::unique_ptr<SadPart>> parts;
  for (int band = 0; band < bands; ++band) {
    parts.push_back(std::make_unique<SadPart>(in, ShareStart(s.rows, band, bands),
                                              ShareStart(s.rows, band + 1, bands)));
  }
  RunParts(parts, L0, Ln);
  if (bands == 1) return;
  fast::MeanExtent all;
  for (const auto& part : parts) all.Merge(part->extent);
  if (fast::ExactMeanSums(all, s.winRadL0)) return;
  parts.clear();
  parts.push_back(std::make_unique<SadPart>(in, 0, s.rows));
  RunParts(parts, L0, Ln);
}

// Bands of rows where the box sums are exact; otherwise each thread takes
// whole blocks of indices from the top, with window means of its own: no
// value of a block depends on another block.
void MakeCorrelationVolumes(const JobShape& s, const FloatArray& image0, const FloatArray& image1,
                            FloatArray& L0, FloatArray& Ln, int threads) {
  const fast::CorrelationInputs in = CorrelationInputsOf(s, image0, image1);
  const int blocks = fast::BlockCount(in.g);
  std::vector<std::unique_ptr<CorrelationPart>> parts;
  if (in.momentsInFloat) {
    const int bands = RowBands(s, threads);
    for (int band = 0; band < bands; ++band) {
      parts.push_back(std::make_unique<CorrelationPart>(in, ShareStart(s.rows, band, bands),
                                                        ShareStart(s.rows, band + 1, bands),
                                                        fast::BlockRange{0, blocks}));
    }
  } else {
    const int shares = BlockShares(s, threads);
    for (int share = 0; share < shares; ++share) {
      const fast::BlockRange mine{ShareStart(blocks, share, shares),
                                  ShareStart(blocks, share + 1, shares)};
      parts.push_back(std::make_unique<CorrelationPart>(in, 0, s.rows, mine));
    }
  }
  RunParts(parts, L0, Ln);
}

}  // namespace

void MakeInitialVolumes(const JobShape& shape, const FloatArray& image0, const FloatArray& image1,
                        FloatArray& L0, FloatArray& Ln, int threads) {
  RequireExactCounts(shape);
  if (shape.rows <= 0 || shape.RowSize() == 0) return;
  if (shape.sad) {
    MakeSadVolumes(shape, image0, image1, L0, Ln, threads);
  } else {
    MakeCorrelationVolumes(shape, image0, image1, L0, Ln, threads);
  }
}

// Correlation shares its work by bands of rows for whole intensities, by
// blocks of indices otherwise: where the shape does not say which, the
// larger of the two.
std::size_t InitialVolumesBytes(const JobShape& shape, int threads) {
  const fast::Geometry g = GeometryOf(shape);
  if (shape.sad) return RowBands(shape, threads) * fast::SadRowMaker::Bytes(g);
  JobShape whole = shape;
  whole.wholeIntensities = true;
  const std::size_t byBands =
      RowBands(whole, threads) * fast::CorrelationRowMaker::Bytes(g, MomentsInFloat(whole));
  if (MomentsInFloat(shape)) return byBands;
  const int blocks = fast::BlockCount(g);
  const int shares = BlockShares(shape, threads);
  std::size_t byBlocks = 0;
  for (int share = 0; share < shares; ++share) {
    byBlocks += fast::CorrelationRowMaker::Bytes(
        g, ShareStart(blocks, share + 1, shares) - ShareStart(blocks, share, shares), false);
  }
  return std::max(byBands, byBlocks);
}

}  // namespace tavrel::streamed
