#include "engine/streamed_volumes.h"

#include <algorithm>
#include <cassert>
#include <deque>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/isa_path.h"
#include "engine/match_volume.h"
#include "engine/streamed_initial_volumes.h"
#include "engine/streamed_pipeline.h"

namespace tavrel::streamed {
namespace {

// A pass's iterations beyond one per thread save a read and a write of Ln
// each; past a few the saving is small beside the rings they add.
constexpr int kMostIterationsPerPass = 8;

// The share of one volume a pass's rings may take: with it the volume
// engine takes hardly more than its two volumes.
constexpr double kPassShareOfVolume = 0.125;

// The rows the last stage of a pass over Ln keeps until they are
// rewritten: once it has made an interior row, the first stage has read
// the rows up to WinRadRC below it, and is done with those a box window
// above that; with the row being made, WinRadRC + 3.
int RewriteDelayRows(const JobShape& shape) { return shape.winRadRC + 3; }

void CopyRow(const float* cells, FloatArray& volume, int row) {
  std::copy_n(cells, static_cast<std::size_t>(volume.columns()) * volume.bands(),
              &volume.At(row, 0, 0));
}

}  // namespace

InPlaceRows::InPlaceRows(FloatArray& volume, int window, bool clear)
    : volume_(volume), window_(window), clear_(clear) {
  assert((clear_ || ZeroOutsideInterior(volume_)) &&
         "InPlaceRows: a volume said to be 0 outside the interior is not");
  if (!clear_) return;
  const Interior interior = InteriorOf(volume_.rows(), volume_.columns(), volume_.bands());
  for (int row = 0; row < volume_.rows(); ++row) {
    if (!interior.ContainsRow(row)) {
      ClearOutsideInteriorRow(interior, row, volume_.columns(), volume_.bands(),
                              &volume_.At(row, 0, 0));
    }
  }
}

const float* InPlaceRows::Row(int row) {
  const Interior interior = InteriorOf(volume_.rows(), volume_.columns(), volume_.bands());
  if (interior.ContainsRow(row) && row <= rewritten_.load(std::memory_order_acquire)) {
    throw std::logic_error("InPlaceRows: row " + std::to_string(row) +
                           " read after it was rewritten");
  }
  const int newest = newest_.load(std::memory_order_relaxed);
  for (int first = newest + 1; clear_ && first <= row; ++first) {
    if (interior.ContainsRow(first)) {
      ClearOutsideInteriorRow(interior, first, volume_.columns(), volume_.bands(),
                              &volume_.At(first, 0, 0));
    }
  }
  if (row > newest) newest_.store(row, std::memory_order_release);
  return &volume_.At(row, 0, 0);
}

bool InPlaceRows::Done(int row) const {
  const Interior interior = InteriorOf(volume_.rows(), volume_.columns(), volume_.bands());
  return !interior.ContainsRow(row) || row <= newest_.load(std::memory_order_acquire) - window_;
}

void InPlaceRows::ReadingOver() {
  newest_.store(volume_.rows() + window_, std::memory_order_release);
}

void InPlaceRows::Rewrite(int row, const float* cells) {
  if (row != rewritten_.load(std::memory_order_relaxed) + 1 || !Done(row)) {
    throw std::logic_error("InPlaceRows: row " + std::to_string(row) +
                           " rewritten out of order or while it is still read");
  }
  CopyRow(cells, volume_, row);
  rewritten_.store(row, std::memory_order_release);
}

void MakeVolumes(const JobShape& shape, const FloatArray& image0, const FloatArray& image1,
                 FloatArray& L0, FloatArray& Ln, int threads) {
  ActiveIsaPath();  // chooses the kernels' path once, before any thread starts
  if (shape.iterations == 0) {
    MakeInitialVolumes(shape, image0, image1, L0, Ln, threads);
    return;
  }
  Pipeline pipeline(shape, image0, image1, threads, [&L0](int row) { return &L0.At(row, 0, 0); });
  pipeline.Run([&Ln](int row, const float* cells) { CopyRow(cells, Ln, row); });
}

// Each row of the pass is rewritten once the first stage is done with
// it, a few rows after the last stage has made it; the last stage keeps
// those rows meanwhile (the pointers it handed stay valid while its ring
// holds them).
void IterateVolume(const JobShape& shape, const FloatArray& L0, FloatArray& Ln, int threads,
                   bool zeroOutside) {
  ActiveIsaPath();
  InPlaceRows ln(Ln, BoxWindowRows(shape), !zeroOutside);
  StoredRows l0(L0);
  Pipeline pipeline(shape, ln, l0, threads, RewriteDelayRows(shape));
  std::deque<std::pair<int, const float*>> made;
  auto rewrite = [&] {
    while (!made.empty() && ln.Done(made.front().first)) {
      ln.Rewrite(made.front().first, made.front().second);
      made.pop_front();
    }
  };
  // Past the interior's last row the first stage reads no more rows.
  const int lastInterior = shape.rows - kPixelMargin - 1;
  pipeline.Run([&](int row, const float* cells) {
    made.emplace_back(row, cells);
    if (row > lastInterior) ln.ReadingOver();
    rewrite();
  });
  ln.ReadingOver();
  rewrite();
}

int PassIterations(const JobShape& shape, int threads, int wanted) {
  const double volume = static_cast<double>(shape.rows) * shape.RowSize() * sizeof(float);
  int count = std::min(wanted, std::max(threads, 1));
  while (count < std::min(wanted, kMostIterationsPerPass)) {
    JobShape longer = shape;
    longer.iterations = count + 1;
    if (static_cast<double>(Pipeline::StoredBytes(longer, threads)) > kPassShareOfVolume * volume) {
      break;
    }
    ++count;
  }
  return std::max(count, 1);
}

std::size_t VolumePassBytes(const JobShape& shape, int threads) {
  if (shape.iterations == 0) return InitialVolumesBytes(shape, threads);
  JobShape first = shape;
  first.iterations = shape.iterations > 0 ? PassIterations(shape, threads, shape.iterations) : 0;
  std::size_t bytes = Pipeline::Bytes(first, threads);
  if (shape.iterations > first.iterations) {
    JobShape later = shape;
    later.iterations = PassIterations(shape, threads, shape.iterations - first.iterations);
    bytes = std::max(bytes, Pipeline::StoredBytes(later, threads, RewriteDelayRows(shape)));
  }
  return bytes;
}

}  // namespace tavrel::streamed
