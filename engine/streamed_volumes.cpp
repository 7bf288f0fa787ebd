#include "engine/streamed_volumes.h"

#include <algorithm>
#include <stdexcept>
#include <string>

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

void CopyRow(const float* cells, FloatArray& volume, int row) {
  std::copy_n(cells, static_cast<std::size_t>(volume.columns()) * volume.bands(),
              &volume.At(row, 0, 0));
}

}  // namespace

InPlaceRows::InPlaceRows(FloatArray& volume, int keep)
    : volume_(volume), copies_(keep, static_cast<std::size_t>(volume.columns()) * volume.bands()) {}

const float* InPlaceRows::Row(int row) {
  const Interior interior = InteriorOf(volume_.rows(), volume_.columns(), volume_.bands());
  const std::size_t size = static_cast<std::size_t>(volume_.columns()) * volume_.bands();
  while (copies_.newest() < row) {
    const int next = copies_.newest() + 1;
    if (interior.ContainsRow(next) && next <= rewritten_.load(std::memory_order_acquire)) {
      throw std::logic_error("InPlaceRows: row " + std::to_string(next) +
                             " read after it was rewritten");
    }
    float* copy = copies_.Make(next);
    std::copy_n(&volume_.At(next, 0, 0), size, copy);
    ClearOutsideInteriorRow(interior, next, volume_.columns(), volume_.bands(), copy);
  }
  return copies_.Row(row);
}

void InPlaceRows::Rewrite(int row, const float* cells) {
  if (row != rewritten_.load(std::memory_order_relaxed) + 1) {
    throw std::logic_error("InPlaceRows: row " + std::to_string(row) + " rewritten out of order");
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

void IterateVolume(const JobShape& shape, const FloatArray& L0, FloatArray& Ln, int threads) {
  ActiveIsaPath();
  InPlaceRows ln(Ln, BoxWindowRows(shape));
  StoredRows l0(L0);
  Pipeline pipeline(shape, ln, l0, threads);
  pipeline.Run([&ln](int row, const float* cells) { ln.Rewrite(row, cells); });
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
    // The pass's copies of the rows it reads from Ln.
    bytes = std::max(bytes, Pipeline::StoredBytes(later, threads) +
                                BoxWindowRows(shape) * shape.RowSize() * sizeof(float));
  }
  return bytes;
}

}  // namespace tavrel::streamed
