#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/float_array.h"
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
// disparity indices 3 .. NumDisparities - 4) is 0.0.
class StereoMatcher {
 public:
  std::unique_ptr<FloatArray> L0;
  std::unique_ptr<FloatArray> Ln;
  int MinDisparity = 0;
  int MaxDisparity = 0;
  std::unique_ptr<FloatArray> DispConf;    // band 0 disparity, band 1 confidence
  std::unique_ptr<FloatArray> DisplayMap;  // one band of grey levels
  int Rows = 0;
  int Columns = 0;
  int NumDisparities = 0;
  int WinRadD = 1;
  int WinRadRC = 2;
  int IterationCount = -1;
  std::string Image0Name;
  std::string Image1Name;
  std::string OutputFileName;
  int L0Ready = 0;
  EngineKind Engine = EngineKind::Fast;  // kept by Release

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
  // (ValidateJob); a failure leaves the matcher empty.
  void RunForResults(const FloatArray& image0, const StereoParams& params, bool maps,
                     const std::function<void(FloatArray* dispConf)>& fill);

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
  void RequireIterationRadii() const;
  // Iterations done + 1 .. total of a series, as `progress` numbers them.
  void IterateFrom(int done, int total, const JobProgress& progress);
  const StereoBackend& Backend() const { return BackendFor(Engine); }
};

// Throws std::invalid_argument with a readable text when Run could not use
// these inputs: an empty image 0, images of different band counts, an image 1
// smaller than image 0, MaxDisparity not above MinDisparity, a negative radius
// or one at or above its limit.
void ValidateJob(const FloatArray& image0, const FloatArray& image1, const StereoParams& params);

}  // namespace tavrel
