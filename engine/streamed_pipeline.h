#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "engine/float_array.h"
#include "engine/streamed_channel.h"
#include "engine/streamed_stages.h"

namespace tavrel::streamed {

// Receives a row of a grid, valid during the call.
using RowSink = std::function<void(int row, const float* cells)>;

// How the threads share a pipeline: the stages split into one group per
// thread (group 0 takes the rows the pipeline starts from and runs its
// first iterations, each group after it the next iterations), the
// iterations shared so that the groups' work is about even. Threads beyond
// one per group split each row's columns instead.
struct Schedule {
  std::vector<int> iterations;  // per group
  Threads rowThreads;
};

// For tests of what a failed allocation leaves behind: from now on the
// nth stage or channel that any pipeline builds fails with std::bad_alloc
// as its allocation would (0: none fails).
void FailNthAllocation(long n);

// The stages of one pass over the rows, in their groups, one per thread,
// joined by channels: shape.iterations cooperative iterations, starting
// either from the images (L0 made on the way) or from stored rows of the
// grid before them and of L0.
class Pipeline {
 public:
  // From the images; `wholeL0`, when given, says where every row of L0 goes
  // whole (not cleared outside the interior) as it is made.
  Pipeline(const JobShape& shape, const FloatArray& image0, const FloatArray& image1, int threads,
           std::function<float*(int row)> wholeL0 = {});
  // From stored rows, read in ascending order by group 0 only. The last
  // stage keeps its last `lastKept` rows readable through the pointers the
  // sink was handed, for a sink that stores a row some rows later.
  Pipeline(const JobShape& shape, RowSource& values, RowSource& l0, int threads, int lastKept = 1);

  // Runs every group but the last on a thread of its own and hands each
  // row of the last group to `row`, on the calling thread. A failure on any
  // thread stops them all and is the one rethrown.
  void Run(const RowSink& row);

  // The heap a pipeline from the images (or from stored rows) holds: rings,
  // column sums, row scratch and channels.
  static std::size_t Bytes(const JobShape& shape, int threads);
  static std::size_t StoredBytes(const JobShape& shape, int threads, int lastKept = 1);

 private:
  struct Group {
    std::unique_ptr<InitialValuesStage> initial;  // group 0 from the images
    RowChannel* input = nullptr;                  // the groups after it: channels_[g - 1]
    std::unique_ptr<IterationScratch> scratch;    // its iterations' one scratch
    std::vector<std::unique_ptr<IterationStage>> iterations;
    RowSource* l0 = nullptr;
    RowSource* last = nullptr;
    bool keepsWholeL0 = false;

    // Takes whatever rows of the source are left once the last is made.
    void Drain(int rows);
  };

  void Build(const FloatArray* image0, const FloatArray* image1, std::function<float*(int)> wholeL0,
             RowSource* values, RowSource* l0);
  static std::size_t Bytes(const JobShape& shape, const Schedule& schedule, bool fromImages,
                           int lastKept);

  JobShape shape_;
  Schedule schedule_;
  int lastKept_ = 1;
  std::vector<std::unique_ptr<RowChannel>> channels_;
  std::vector<Group> groups_;
};

}  // namespace tavrel::streamed
