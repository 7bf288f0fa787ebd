#include "engine/stereo_matcher.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>

#include "engine/match_volume.h"

namespace tavrel {
namespace {

std::string SizeText(const FloatArray& grid) {
  return std::to_string(grid.columns()) + " x " + std::to_string(grid.rows()) + " x " +
         std::to_string(grid.bands());
}

void RequireRadius(const char* name, int value, int limit) {
  if (value < 0 || value >= limit) {
    throw std::invalid_argument(std::string(name) + " must be from 0 to " +
                                std::to_string(limit - 1) + ", not " + std::to_string(value));
  }
}

bool HasShape(const FloatArray& grid, int rows, int columns, int bands) {
  return grid.rows() == rows && grid.columns() == columns && grid.bands() == bands;
}

// The parameters' part of ValidateJob, which Prepare shares.
void ValidateParams(const StereoParams& params) {
  const int MinDisparity = params.MinDisparity;
  const int MaxDisparity = params.MaxDisparity;
  if (MaxDisparity <= MinDisparity) {
    throw std::invalid_argument("MaxDisparity (" + std::to_string(MaxDisparity) +
                                ") must be greater than MinDisparity (" +
                                std::to_string(MinDisparity) + ")");
  }
  if (static_cast<std::int64_t>(MaxDisparity) - MinDisparity > std::numeric_limits<int>::max()) {
    throw std::invalid_argument("the disparity range " + std::to_string(MinDisparity) + " to " +
                                std::to_string(MaxDisparity) + " is too large");
  }
  RequireRadius("WinRadL0", params.WinRadL0, kWinRadL0Limit);
  RequireRadius("WinRadRC", params.WinRadRC, kWinRadRCLimit);
  RequireRadius("WinRadD", params.WinRadD, kWinRadDLimit);
}

void Report(const JobProgress& progress, JobStage stage, int step, int steps) {
  if (progress) progress(stage, step, steps);
}

}  // namespace

void ValidateJob(const FloatArray& image0, const FloatArray& image1, const StereoParams& params) {
  if (image0.columns() == 0 || image0.rows() == 0 || image0.bands() == 0) {
    throw std::invalid_argument("image 0 is empty (" + SizeText(image0) + ")");
  }
  if (image1.bands() != image0.bands()) {
    throw std::invalid_argument("the images have different band counts (" +
                                std::to_string(image0.bands()) + " and " +
                                std::to_string(image1.bands()) + ")");
  }
  if (image0.bands() > std::numeric_limits<int>::max() / 3) {
    throw std::invalid_argument("image 0 has too many bands (" + std::to_string(image0.bands()) +
                                ")");
  }
  if (image1.columns() < image0.columns() || image1.rows() < image0.rows()) {
    throw std::invalid_argument("image 1 (" + SizeText(image1) + ") is smaller than image 0 (" +
                                SizeText(image0) + ")");
  }
  ValidateParams(params);
}

void StereoMatcher::Run(const FloatArray& image0, const FloatArray& image1,
                        const StereoParams& params, const JobProgress& progress) {
  ValidateJob(image0, image1, params);

  // The previous job's grids go first, so that two jobs' volumes never
  // coexist. A grid whose storage holds what the new job needs, and not more
  // than twice that, is kept instead and given the new shape, since the job
  // rewrites every cell and mapping and clearing fresh volumes costs the
  // system as much as several iterations. A job that does not finish
  // (allocation failure, or an exception from the progress callback) leaves
  // the matcher empty rather than holding grids that were never filled.
  const int disparities = params.MaxDisparity - params.MinDisparity;
  auto reuse = [&](std::unique_ptr<FloatArray>& grid, int bands) -> std::unique_ptr<FloatArray> {
    if (!grid || !grid->Reshape(image0.columns(), image0.rows(), bands) ||
        grid->size() < grid->capacity() / 2) {
      return nullptr;
    }
    return std::move(grid);
  };
  std::unique_ptr<FloatArray> keptL0 = reuse(l0_, disparities);
  std::unique_ptr<FloatArray> keptLn = reuse(ln_, disparities);
  std::unique_ptr<FloatArray> keptDispConf = reuse(dispConf_, 2);
  std::unique_ptr<FloatArray> keptDisplayMap = reuse(displayMap_, 1);
  Release();
  try {
    TakeJobSizes(image0.rows(), image0.columns(), params);

    auto grid = [this](std::unique_ptr<FloatArray>& kept, int bands) {
      return kept ? std::move(kept) : std::make_unique<FloatArray>(columns_, rows_, bands);
    };
    l0_ = grid(keptL0, numDisparities_);
    ln_ = grid(keptLn, numDisparities_);
    dispConf_ = grid(keptDispConf, 2);
    displayMap_ = grid(keptDisplayMap, 1);

    // The first pass over the rows makes L0 and, with the fast backend,
    // runs the first iterations on its way.
    Report(progress, JobStage::InitialMatchValues, 1, 1);
    const int iterations = std::max(params.NumIterations, 0);
    const int first = iterations > 0
                          ? std::clamp(Backend().PassIterations(Grids(), iterations), 1, iterations)
                          : 0;
    for (int i = 1; i <= first; ++i) Report(progress, JobStage::Iteration, i, iterations);
    MakeL0(image0, image1, params.WinRadL0, params.MaxScaler, params.Cost, first);
    iterationCount_ = first;
    IterateFrom(first, iterations, progress);
    Report(progress, JobStage::Extraction, 1, 1);
    ExtractDispConf();
  } catch (...) {
    Release();
    throw;
  }
}

void StereoMatcher::RunForResults(const FloatArray& image0, const StereoParams& params, bool maps,
                                  const std::function<void(FloatArray*)>& fill) {
  ValidateParams(params);
  Release();
  try {
    TakeJobSizes(image0.rows(), image0.columns(), params);
    if (maps) {
      dispConf_ = std::make_unique<FloatArray>(columns_, rows_, 2);
      displayMap_ = std::make_unique<FloatArray>(columns_, rows_, 1);
    }
    fill(dispConf_.get());
    iterationCount_ = std::max(params.NumIterations, 0);
  } catch (...) {
    Release();
    throw;
  }
}

void StereoMatcher::Prepare(int rows, int columns, const StereoParams& params) {
  if (rows <= 0 || columns <= 0) {
    throw std::invalid_argument("the image is empty (" + std::to_string(columns) + " x " +
                                std::to_string(rows) + ")");
  }
  ValidateParams(params);
  Release();
  try {
    TakeJobSizes(rows, columns, params);
    auto cleared = [this](int bands) {
      auto grid = std::make_unique<FloatArray>(columns_, rows_, bands);
      grid->Fill(0.0f);
      return grid;
    };
    l0_ = cleared(numDisparities_);
    ln_ = cleared(numDisparities_);
    dispConf_ = cleared(2);
    displayMap_ = cleared(1);
    iterationCount_ = 0;
  } catch (...) {
    Release();
    throw;
  }
}

void StereoMatcher::LoadVolumes(FloatArray l0, FloatArray ln, int iterations) {
  if (!l0_ || !ln_) throw std::invalid_argument("LoadVolumes: the matcher holds no volumes");
  for (const FloatArray* volume : {&l0, &ln}) {
    if (!HasShape(*volume, rows_, columns_, numDisparities_)) {
      throw std::invalid_argument("LoadVolumes: a volume of " + SizeText(*volume) +
                                  " does not fit the matcher's " + std::to_string(columns_) +
                                  " x " + std::to_string(rows_) + " x " +
                                  std::to_string(numDisparities_));
    }
  }
  if (!ZeroOutsideInterior(ln)) {
    throw std::invalid_argument("LoadVolumes: Ln is not 0 outside the interior");
  }
  if (iterations < 0) {
    throw std::invalid_argument("LoadVolumes: the iterations must be 0 or more, not " +
                                std::to_string(iterations));
  }
  *l0_ = std::move(l0);
  *ln_ = std::move(ln);
  l0Ready_ = 1;
  iterationCount_ = iterations;
}

void StereoMatcher::LoadResults(FloatArray dispConf) {
  if (!dispConf_) throw std::invalid_argument("LoadResults: the matcher holds no maps");
  if (!HasShape(dispConf, rows_, columns_, 2)) {
    throw std::invalid_argument("LoadResults: maps of " + SizeText(dispConf) +
                                " do not fit the matcher's " + std::to_string(columns_) + " x " +
                                std::to_string(rows_) + " x 2");
  }
  *dispConf_ = std::move(dispConf);
}

void StereoMatcher::SetIterationRadii(int winRadRC, int winRadD) {
  RequireRadius("WinRadRC", winRadRC, kWinRadRCLimit);
  RequireRadius("WinRadD", winRadD, kWinRadDLimit);
  winRadRC_ = winRadRC;
  winRadD_ = winRadD;
}

FloatArray& StereoMatcher::DisplayMapForWriting() {
  if (!displayMap_) throw std::logic_error("the matcher holds no DisplayMap");
  return *displayMap_;
}

void StereoMatcher::TakeJobSizes(int rows, int columns, const StereoParams& params) {
  minDisparity_ = params.MinDisparity;
  maxDisparity_ = params.MaxDisparity;
  rows_ = rows;
  columns_ = columns;
  numDisparities_ = params.MaxDisparity - params.MinDisparity;
  winRadD_ = params.WinRadD;
  winRadRC_ = params.WinRadRC;
}

StageGrids StereoMatcher::Grids() {
  return StageGrids{rows_,    columns_,  numDisparities_, minDisparity_,   winRadRC_,
                    winRadD_, l0_.get(), ln_.get(),       dispConf_.get(), true};
}

void StereoMatcher::ComputeL0(const FloatArray& image0, const FloatArray& image1, int WinRadL0,
                              float MaxScaler, MatchCost cost) {
  MakeL0(image0, image1, WinRadL0, MaxScaler, cost, 0);
}

void StereoMatcher::MakeL0(const FloatArray& image0, const FloatArray& image1, int WinRadL0,
                           float MaxScaler, MatchCost cost, int iterations) {
  RequireVolumes("ComputeL0");
  if (image0.rows() != rows_ || image0.columns() != columns_ || image0.bands() == 0) {
    throw std::invalid_argument("ComputeL0: image 0 (" + SizeText(image0) +
                                ") does not fit the match volumes");
  }
  if (image0.bands() > std::numeric_limits<int>::max() / 3) {
    throw std::invalid_argument("ComputeL0: image 0 has too many bands");
  }
  // The reference reads image 1 only through Get, but faster stages may read
  // whole rows of it; the same conditions as for Run keep every engine inside.
  if (image1.bands() != image0.bands() || image1.columns() < image0.columns() ||
      image1.rows() < image0.rows()) {
    throw std::invalid_argument("ComputeL0: image 1 (" + SizeText(image1) +
                                ") is smaller than image 0 (" + SizeText(image0) +
                                ") or has other bands");
  }
  RequireRadius("WinRadL0", WinRadL0, kWinRadL0Limit);
  if (iterations > 0) RequireIterationRadii();
  l0Ready_ = 0;
  StageGrids grids = Grids();
  Backend().ComputeL0(grids, image0, image1, WinRadL0, MaxScaler, cost, iterations);
  l0Ready_ = 1;
}

void StereoMatcher::RequireIterationRadii() const {
  RequireRadius("WinRadRC", winRadRC_, kWinRadRCLimit);
  RequireRadius("WinRadD", winRadD_, kWinRadDLimit);
}

// The stages trust the grids to have the matcher's sizes; only a stage
// called before any job (or after Release) finds them missing.
void StereoMatcher::RequireVolumes(const char* operation) const {
  if (!l0_ || !ln_ || !HasShape(*l0_, rows_, columns_, numDisparities_) ||
      !HasShape(*ln_, rows_, columns_, numDisparities_)) {
    throw std::logic_error(std::string(operation) +
                           ": the match volumes do not exist or do not fit the matcher's sizes");
  }
}

void StereoMatcher::RunIterations(int n, const JobProgress& progress) {
  IterateFrom(0, n, progress);
}

void StereoMatcher::Iterate() { IterateFrom(0, 1, {}); }

void StereoMatcher::IterateFrom(int done, int total, const JobProgress& progress) {
  while (done < total) {
    RequireVolumes("Iterate");
    RequireIterationRadii();
    StageGrids grids = Grids();
    const int pass = std::clamp(Backend().PassIterations(grids, total - done), 1, total - done);
    // Iterations the caller let start; a refusal ends the series after the
    // ones before it.
    int accepted = 0;
    std::exception_ptr stop;
    try {
      for (; accepted < pass; ++accepted) {
        Report(progress, JobStage::Iteration, done + accepted + 1, total);
      }
    } catch (...) {
      stop = std::current_exception();
    }
    if (accepted > 0) {
      // A pass that fails may have rewritten part of Ln: the volumes then
      // hold no whole iteration, and the matcher gives them up.
      try {
        Backend().Iterate(grids, accepted);
      } catch (...) {
        Release();
        throw;
      }
      iterationCount_ += accepted;
      done += accepted;
    }
    if (stop) std::rethrow_exception(stop);
  }
}

void StereoMatcher::ExtractDispConf() {
  if (!ln_ || !dispConf_ || !HasShape(*ln_, rows_, columns_, numDisparities_) ||
      !HasShape(*dispConf_, rows_, columns_, 2)) {
    throw std::logic_error("ExtractDispConf: Ln or DispConf does not exist or does not fit");
  }
  StageGrids grids = Grids();
  Backend().ExtractDispConf(grids);
}

void StereoMatcher::Release() {
  l0_.reset();
  ln_.reset();
  dispConf_.reset();
  displayMap_.reset();
  l0Ready_ = 0;
  columns_ = 0;
  numDisparities_ = 0;
  rows_ = 0;
  iterationCount_ = -1;
}

}  // namespace tavrel
