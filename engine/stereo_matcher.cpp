#include "engine/stereo_matcher.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>

#include "engine/reference_engine.h"

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

bool HasShape(const std::unique_ptr<FloatArray>& grid, int rows, int columns, int bands) {
  return grid && grid->rows() == rows && grid->columns() == columns && grid->bands() == bands;
}

// The stages after Run trust the matcher's fields and grids; these checks keep
// a caller who changed the public fields, or called too early, from sending
// them outside their grids.
void RequireVolumes(const StereoMatcher& m, const char* operation) {
  if (!HasShape(m.L0, m.Rows, m.Columns, m.NumDisparities) ||
      !HasShape(m.Ln, m.Rows, m.Columns, m.NumDisparities)) {
    throw std::logic_error(std::string(operation) +
                           ": the match volumes do not exist or do not fit the matcher's sizes");
  }
}

void Report(const JobProgress& progress, JobStage stage, int step, int steps) {
  if (progress) progress(stage, step, steps);
}

}  // namespace

void ValidateJob(const FloatArray& image0, const FloatArray& image1, const StereoParams& params) {
  const int MinDisparity = params.MinDisparity;
  const int MaxDisparity = params.MaxDisparity;
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
  std::unique_ptr<FloatArray> keptL0 = reuse(L0, disparities);
  std::unique_ptr<FloatArray> keptLn = reuse(Ln, disparities);
  std::unique_ptr<FloatArray> keptDispConf = reuse(DispConf, 2);
  std::unique_ptr<FloatArray> keptDisplayMap = reuse(DisplayMap, 1);
  Release();
  try {
    MinDisparity = params.MinDisparity;
    MaxDisparity = params.MaxDisparity;
    Rows = image0.rows();
    Columns = image0.columns();
    NumDisparities = disparities;
    WinRadD = params.WinRadD;
    WinRadRC = params.WinRadRC;

    auto grid = [this](std::unique_ptr<FloatArray>& kept, int bands) {
      return kept ? std::move(kept) : std::make_unique<FloatArray>(Columns, Rows, bands);
    };
    L0 = grid(keptL0, NumDisparities);
    Ln = grid(keptLn, NumDisparities);
    DispConf = grid(keptDispConf, 2);
    DisplayMap = grid(keptDisplayMap, 1);

    // The first pass over the rows makes L0 and, with the fast backend,
    // runs the first iterations on its way.
    Report(progress, JobStage::InitialMatchValues, 1, 1);
    const int iterations = std::max(params.NumIterations, 0);
    const int first =
        iterations > 0 ? std::clamp(Backend().PassIterations(*this, iterations), 1, iterations) : 0;
    for (int i = 1; i <= first; ++i) Report(progress, JobStage::Iteration, i, iterations);
    MakeL0(image0, image1, params.WinRadL0, params.MaxScaler, params.Cost, first);
    IterationCount = first;
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
  Release();
  try {
    MinDisparity = params.MinDisparity;
    MaxDisparity = params.MaxDisparity;
    Rows = image0.rows();
    Columns = image0.columns();
    NumDisparities = params.MaxDisparity - params.MinDisparity;
    WinRadD = params.WinRadD;
    WinRadRC = params.WinRadRC;
    if (maps) {
      DispConf = std::make_unique<FloatArray>(Columns, Rows, 2);
      DisplayMap = std::make_unique<FloatArray>(Columns, Rows, 1);
    }
    fill(DispConf.get());
    IterationCount = std::max(params.NumIterations, 0);
  } catch (...) {
    Release();
    throw;
  }
}

void StereoMatcher::ComputeL0(const FloatArray& image0, const FloatArray& image1, int WinRadL0,
                              float MaxScaler, MatchCost cost) {
  MakeL0(image0, image1, WinRadL0, MaxScaler, cost, 0);
}

void StereoMatcher::MakeL0(const FloatArray& image0, const FloatArray& image1, int WinRadL0,
                           float MaxScaler, MatchCost cost, int iterations) {
  RequireVolumes(*this, "ComputeL0");
  if (image0.rows() != Rows || image0.columns() != Columns || image0.bands() == 0) {
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
  L0Ready = 0;
  Backend().ComputeL0(*this, image0, image1, WinRadL0, MaxScaler, cost, iterations);
  L0Ready = 1;
}

void StereoMatcher::RequireIterationRadii() const {
  RequireRadius("WinRadRC", WinRadRC, kWinRadRCLimit);
  RequireRadius("WinRadD", WinRadD, kWinRadDLimit);
}

void StereoMatcher::RunIterations(int n, const JobProgress& progress) {
  IterateFrom(0, n, progress);
}

void StereoMatcher::Iterate() { IterateFrom(0, 1, {}); }

void StereoMatcher::IterateFrom(int done, int total, const JobProgress& progress) {
  while (done < total) {
    RequireVolumes(*this, "Iterate");
    RequireIterationRadii();
    const int pass = std::clamp(Backend().PassIterations(*this, total - done), 1, total - done);
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
        Backend().Iterate(*this, accepted);
      } catch (...) {
        Release();
        throw;
      }
      IterationCount += accepted;
      done += accepted;
    }
    if (stop) std::rethrow_exception(stop);
  }
}

void StereoMatcher::ExtractDispConf() {
  if (!HasShape(Ln, Rows, Columns, NumDisparities) || !HasShape(DispConf, Rows, Columns, 2)) {
    throw std::logic_error("ExtractDispConf: Ln or DispConf does not exist or does not fit");
  }
  Backend().ExtractDispConf(*this);
}

void StereoMatcher::Release() {
  L0.reset();
  Ln.reset();
  DispConf.reset();
  DisplayMap.reset();
  L0Ready = 0;
  Columns = 0;
  NumDisparities = 0;
  Rows = 0;
  IterationCount = -1;
}

}  // namespace tavrel
