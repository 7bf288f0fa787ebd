#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

#include "engine/float_array.h"
#include "engine/streamed_stages.h"

// The streamed stages with stored match volumes as their source and sink,
// for callers that keep both volumes (the window's slices, stepwise
// iterations): one fast engine for streamed jobs and stored volumes alike.
namespace tavrel::streamed {

// Makes L0 from the images into `L0` whole and Ln = L0 cleared outside the
// interior, running shape.iterations iterations of Ln on the way, in one
// pass over the rows. Both volumes are rows x columns x disparities. With no
// iteration the threads share L0's rows instead (see MakeInitialVolumes).
void MakeVolumes(const JobShape& shape, const FloatArray& image0, const FloatArray& image1,
                 FloatArray& L0, FloatArray& Ln, int threads);

// Runs shape.iterations iterations of Ln in place, in one pass over its rows,
// leaving Ln 0 outside the interior. With zeroOutside the caller vouches that
// it is 0 there already.
void IterateVolume(const JobShape& shape, const FloatArray& L0, FloatArray& Ln, int threads,
                   bool zeroOutside = false);

// How many of `wanted` iterations (1 or more) one pass should run: enough
// for every thread to have a group of its own, more while the pass's rings
// stay well below a volume, since every pass reads and writes Ln whole.
int PassIterations(const JobShape& shape, int threads, int wanted);

// The heap the passes of a job of shape.iterations iterations hold at most,
// as StereoMatcher runs them: the first makes L0 with the first iterations,
// the others run the rest in place.
std::size_t VolumePassBytes(const JobShape& shape, int threads);

// Rows of the volume a pass rewrites in place, as the source of its first
// stage, read where they lie. The straightforward iteration clears Ln
// outside the interior before it reads it; so does this source, in the
// volume itself (the pass writes 0 there anyway): the rows outside the
// interior when it is made, an interior row's other cells when the row is
// first read. Unless `clear` is false: for a volume that is 0 there already
// (StereoMatcher keeps Ln so), where clearing changes no cell but costs a
// twelfth of an iteration. The first stage reads rows in ascending order
// and never more than `window` rows back from the newest it has taken, so
// an older row can be rewritten while the pass goes on; a row is rewritten
// only then, and reading an interior row after its rewrite would take a
// later iteration's values, so it is refused.
class InPlaceRows : public RowSource {
 public:
  InPlaceRows(FloatArray& volume, int window, bool clear = true);

  // Rows are read in ascending order. Throws std::logic_error for an
  // interior row already rewritten.
  const float* Row(int row) override;
  // Whether the first stage is done with `row`: it lies outside the
  // interior (0 before and after), or `window` rows or more below the
  // newest row read.
  bool Done(int row) const;
  // Says that the first stage reads no more rows: every row is Done.
  void ReadingOver();
  // Rows are rewritten in ascending order, each once, when Done.
  void Rewrite(int row, const float* cells);

 private:
  FloatArray& volume_;
  int window_;
  bool clear_;
  std::atomic<int> newest_{-1};     // the newest row read
  std::atomic<int> rewritten_{-1};  // the newest row rewritten
};

// Rows of a stored volume that the pass only reads (L0).
class StoredRows : public RowSource {
 public:
  explicit StoredRows(const FloatArray& volume) : volume_(volume) {}
  const float* Row(int row) override { return volume_.data() + volume_.Index(row, 0, 0); }

 private:
  const FloatArray& volume_;
};

}  // namespace tavrel::streamed
