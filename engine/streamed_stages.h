#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "engine/float_array.h"
#include "engine/stereo_params.h"
#include "engine/streamed_rows.h"

namespace tavrel::streamed {
class AvxLines;
}

// The stages of a streamed job. Each makes the rows of one grid of the job
// (Columns x NumDisparities floats per row, index fastest) top to bottom,
// asking the stage before it for the rows it reads, and keeps its last rows
// in a ring for the stages after it.
namespace tavrel::streamed {

// The sizes and parameters every stage of one job shares.
struct JobShape {
  int rows = 0;
  int columns = 0;
  int disparities = 0;  // MaxDisparity - MinDisparity
  int minDisparity = 0;
  int bands = 0;  // of the images
  int winRadL0 = 0;
  int winRadRC = 0;
  int winRadD = 0;
  int iterations = 0;
  float maxScaler = 0.0f;
  bool sad = true;
  // Both images hold whole intensities only (see WholeIntensities in
  // job_memory.h); false where that is not known (the shapes made from
  // images look for it only for correlation), and the figures then cover
  // either kind.
  bool wholeIntensities = false;

  std::size_t RowSize() const { return static_cast<std::size_t>(columns) * disparities; }
  bool InteriorEmpty() const;
};

// The shape of a job on images of rows x columns x bands.
JobShape ShapeOf(int rows, int columns, int bands, const StereoParams& params);
// The same for these images, whose intensities are known.
JobShape ShapeOf(const FloatArray& image0, const FloatArray& image1, const StereoParams& params);

// The rows of its source an iteration reads at once: those of a row's box
// window and the row that leaves it. Every source of an iteration's values
// keeps that many readable.
int BoxWindowRows(const JobShape& shape);

// A grid whose rows can be asked for in ascending order. A row stays
// readable until the stage has made as many further rows as its ring holds,
// at least BoxWindowRows(shape) when the rows feed an iteration.
class RowSource {
 public:
  virtual ~RowSource() = default;
  virtual const float* Row(int row) = 0;
};

// L0 row by row, cleared outside the interior (where no stage after it reads
// L0), from the two images: the similarities or moments of each row, their
// box means over the rows around it, then the scaling and clamp.
class InitialValuesStage : public RowSource {
 public:
  // The ring holds `keep` rows of L0: the span between the row the last
  // iteration multiplies by and the row the first iteration reads.
  InitialValuesStage(const JobShape& shape, const FloatArray& image0, const FloatArray& image1,
                     int keep, Threads threads);
  ~InitialValuesStage() override;

  const float* Row(int row) override;

  // Writes every row of L0 as made, not cleared outside the interior, also
  // where `destination` says: a caller that stores L0 keeps what the stages
  // after this one never read.
  void WriteWholeRows(std::function<float*(int row)> destination);

  static std::size_t Bytes(const JobShape& shape, int keep);

  class Producer;

 private:
  JobShape shape_;
  std::unique_ptr<Producer> producer_;
  RowRing ring_;
  std::function<float*(int)> whole_;
};

// What making one interior row of an iteration needs besides the stage's
// own rings and sums: the row's box sums and the row kernels' buffers. The
// stages of a group run one after another on one thread and share one, so
// that it stays in that core's caches rather than each stage bringing its
// own back from memory.
class IterationScratch {
 public:
  IterationScratch(const JobShape& shape, Threads threads);
  ~IterationScratch();

  static std::size_t Bytes(const JobShape& shape, Threads threads);

 private:
  friend class IterationStage;

  // The box sums of the row; on AVX2 the rest of the row's work; elsewhere
  // their interior columns transposed (index-major), the supports and the
  // line sums.
  std::vector<float> boxRow_;
  std::unique_ptr<AvxLines> avxLines_;
  std::vector<float> transposed_;
  std::vector<double> runningSums_;
  std::vector<float> supports_;
  std::vector<float> imageZeroSums_;
  std::vector<float> imageOneSums_;
};

// One cooperative iteration, row by row: the box sum of the rows of the
// grid before it around each interior row, the sums along the disparity
// axis, the two line sums and the normalisation, weighted by L0's row.
class IterationStage : public RowSource {
 public:
  // The ring holds `keep` rows: BoxWindowRows for a next iteration, 1 for
  // a reader that takes each row once. `scratch` (made for the same shape
  // and threads) may serve other stages too, though not while one of them
  // makes a row: a stage asks the stage before it for rows only before it
  // first writes to the scratch.
  IterationStage(const JobShape& shape, RowSource& before, RowSource& l0, Threads threads, int keep,
                 IterationScratch& scratch);
  ~IterationStage() override;

  const float* Row(int row) override;

  // The heap the stage holds, its scratch aside.
  static std::size_t Bytes(const JobShape& shape, int keep);

 private:
  void MakeRow(int row, float* out);
  int AvxPieces() const;
  void MakeRowInChunks(int row, float* out);
  void MakeRowOnAvx2(const float* l0, float* out);
  void MakeRowAnywhere(const float* l0, float* out);

  JobShape shape_;
  RowSource& l0_;
  Threads threads_;
  StreamedBox box_;
  RowRing ring_;
  IterationScratch& scratch_;
};

}  // namespace tavrel::streamed
