#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/float_array.h"
#include "engine/stage_grids.h"
#include "engine/stereo_backend.h"
#include "engine/stereo_params.h"

namespace tavrel {

// The stages of one job, as reported to a progress callback.
enum class JobStage { InitialMatchValues, Iteration, Extraction };

// step counts from 1 to steps within a stage (for Iteration: iteration i of N).
using JobProgress = std::function<void(JobStage stage, int step, int steps)>;

// Limits of the radii the engine accepts (exclusive upper bounds); the
// directions-file reader enforces the same ones with its own messages.
inline constexpr int kWinRadL0Limit = 8;
inline constexpr int kWinRadRCLimit = 8;
inline constexpr int kWinRadDLimit = 3;

// Margins of the interior of the match volume: 8 pixels on each side of the
// image plane and 3 disparity indices at each end of the disparity axis.
inline constexpr int kPixelMargin = 8;
inline constexpr int kDisparityMargin = 3;

// Which backend runs the heavy stages (ComputeL0, Iterate, ExtractDispConf):
// the fast one, on every core with the vector units, or the straightforward
// reference that defines the results. Both give the same bits.
enum class EngineKind { Fast, Reference };

// The backend of each kind; they live as long as the program.
const StereoBackend& BackendFor(EngineKind kind);

// The engine object. Cell (r, c, d) of the match volumes pairs pixel (r, c) of
// image 0 with pixel (r, c + MinDisparity + d) of image 1. Between operations
// every cell of Ln outside the interior (rows and columns 8 .. size - 9,
// disparity indices 3 .. NumDisparities - 4) is 0.
//
// What the matcher derives from a job (its sizes, grids, radii, the count of
// iterations and whether L0 is ready) only its own operations change, so the
// grids always have the sizes it reports and IterationCount counts the
// iterations Ln holds; callers read them through the accessors below.
class StereoMatcher {
 public:
  // Settings the caller owns: the matcher never reads the names (the batch
  // run and the window keep the entry's names here for their captions and
  // messages), and any backend may run any stage, since all give the same
  // bits.
  std::string Image0Name;
  std::string Image1Name;
  std::string OutputFileName;
  EngineKind Engine = EngineKind::Fast;  // kept by Release

  // Null when the matcher holds no job (or, for L0 and Ln, a job run by
  // RunForResults; for DispConf and DisplayMap, one run without the maps).
  const FloatArray* L0() const { return l0_.get(); }
  const FloatArray* Ln() const { return ln_.get(); }
  const FloatArray* DispConf() const { return dispConf_.get(); }  // band 0 disparity, 1 confidence
  const FloatArray* DisplayMap() const { return displayMap_.get(); }  // one band of grey levels
  int Rows() const { return rows_; }
  int Columns() const { return columns_; }
  int NumDisparities() const { return numDisparities_; }
  int MinDisparity() const { return minDisparity_; }
  int MaxDisparity() const { return maxDisparity_; }
  int WinRadD() const { return winRadD_; }
  int WinRadRC() const { return winRadRC_; }
  // The iterations Ln holds since L0 (for loaded volumes, as the loader said);
  // -1 without a job.
  int IterationCount() const { return iterationCount_; }
  int L0Ready() const { return l0Ready_; }

  // One complete job: allocate, ComputeL0, RunIterations(NumIterations),
  // ExtractDispConf; DisplayMap is allocated for the pictures, which
  // display/result_maps.h fills. Throws std::invalid_argument, before
  // any work, for inputs the engine cannot use (see ValidateJob), and
  // std::bad_alloc when the volumes cannot be allocated. A refused job leaves
  // the matcher as it was; an accepted one first releases the previous job's
  // grids (keeping the storage of those that hold what it needs and not more
  // than twice that), and if it does not finish (allocation failure, or an
  // exception thrown by `progress`) the matcher is left empty.
  void Run(const FloatArray& image0, const FloatArray& image1, const StereoParams& params,
           const JobProgress& progress = {});

  // A job whose results another engine makes without the volumes (the
  // streamed pass): the matcher takes the job's sizes, and the result maps
  // when `maps` says so; `fill` writes DispConf (null without the maps), and
  // IterationCount and DisplayMap (disparities) follow as Run leaves them;
  // L0 and Ln stay null and L0Ready 0. The caller has checked the job
  // (ValidateJob); parameters it would refuse are refused here too
  // (std::invalid_argument, the matcher left as it was), and a failure of
  // `fill` leaves the matcher empty.
  void RunForResults(const FloatArray& image0, const StereoParams& params, bool maps,
                     const std::function<void(FloatArray* dispConf)>& fill);

  // The grids of a job on images of rows x columns, as Run allocates them
  // before its stages, every cell 0; IterationCount 0 and L0Ready 0, so that
  // the stages can be run one by one. Throws std::invalid_argument, leaving
  // the matcher as it was, for sizes or parameters Run would refuse, and
  // std::bad_alloc, leaving it empty, when the grids cannot be allocated.
  void Prepare(int rows, int columns, const StereoParams& params);

  // Match volumes made elsewhere (a test, a tool), in place of ComputeL0 and
  // `iterations` iterations: both Columns x Rows x NumDisparities, and Ln 0
  // outside the interior. Afterwards L0Ready is 1 and IterationCount
  // `iterations`. Throws std::invalid_argument, leaving the matcher as it
  // was, for volumes that break either condition, a negative count, or a
  // matcher that holds no volumes to replace.
  void LoadVolumes(FloatArray l0, FloatArray ln, int iterations);

  // Result maps made elsewhere (read back from a file, say), in place of
  // ExtractDispConf: Columns x Rows x 2. Throws std::invalid_argument,
  // leaving the matcher as it was, for another shape or a matcher that holds
  // no maps to replace.
  void LoadResults(FloatArray dispConf);

  // The radii of the following iterations, checked as Run checks them
  // (std::invalid_argument, the matcher left as it was).
  void SetIterationRadii(int winRadRC, int winRadD);

  // The grey levels, for the display conversions to write (the same size
  // as the image). Throws std::logic_error when there is no DisplayMap.
  FloatArray& DisplayMapForWriting();

  // Sets L0Ready to 1.
  void ComputeL0(const FloatArray& image0, const FloatArray& image1, int WinRadL0, float MaxScaler,
                 MatchCost cost);
  // Each iteration raises IterationCount by 1. The backend may run several
  // iterations in one pass over the volumes: `progress` hears each
  // iteration of a pass before the pass starts, and an exception from it
  // stops the series before the iteration it was told of, so that the
  // volumes always hold whole iterations and IterationCount counts them.
  // A pass that fails otherwise leaves the matcher empty (as Release).
  void RunIterations(int n, const JobProgress& progress = {});
  void Iterate();
  void ExtractDispConf();
  void Release();

 private:
  void MakeL0(const FloatArray& image0, const FloatArray& image1, int WinRadL0, float MaxScaler,
              MatchCost cost, int iterations);
  void TakeJobSizes(int rows, int columns, const StereoParams& params);
  void RequireIterationRadii() const;
  void RequireVolumes(const char* operation) const;
  // Iterations done + 1 .. total of a series, as `progress` numbers them.
  void IterateFrom(int done, int total, const JobProgress& progress);
  StageGrids Grids();
  const StereoBackend& Backend() const { return BackendFor(Engine); }

  std::unique_ptr<FloatArray> l0_;
  std::unique_ptr<FloatArray> ln_;
  std::unique_ptr<FloatArray> dispConf_;
  std::unique_ptr<FloatArray> displayMap_;
  int rows_ = 0;
  int columns_ = 0;
  int numDisparities_ = 0;
  int minDisparity_ = 0;
  int maxDisparity_ = 0;
  int winRadD_ = 1;
  int winRadRC_ = 2;
  int iterationCount_ = -1;
  int l0Ready_ = 0;
};

// Throws std::invalid_argument with a readable text when Run could not use
// these inputs: an empty image 0, images of different band counts, an image 1
// smaller than image 0, MaxDisparity not above MinDisparity, a negative radius
// or one at or above its limit.
void ValidateJob(const FloatArray& image0, const FloatArray& image1, const StereoParams& params);

}  // namespace tavrel
