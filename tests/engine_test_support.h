#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "engine/float_array.h"
#include "engine/isa_path.h"
#include "engine/reference_engine.h"
#include "engine/stereo_matcher.h"
#include "engine/stereo_params.h"

namespace tavrel::testing {

// The cost that a directions file's USE_SAD value selects.
inline MatchCost CostOf(int useSad) {
  return useSad != 0 ? MatchCost::Sad : MatchCost::Correlation;
}

inline StereoParams ParamsOf(int minDisparity, int maxDisparity, int winRadL0, int winRadRC,
                             int winRadD, int iterations, float maxScaler, int useSad) {
  StereoParams params;
  params.MinDisparity = minDisparity;
  params.MaxDisparity = maxDisparity;
  params.WinRadL0 = winRadL0;
  params.WinRadRC = winRadRC;
  params.WinRadD = winRadD;
  params.NumIterations = iterations;
  params.MaxScaler = maxScaler;
  params.Cost = CostOf(useSad);
  return params;
}

inline std::uint32_t Bits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Index of the first cell where two grids differ in their bits, or -1 when
// they are identical (the sizes must match).
inline std::int64_t FirstDifference(const FloatArray& a, const FloatArray& b) {
  if (a.columns() != b.columns() || a.rows() != b.rows() || a.bands() != b.bands()) return 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Bits(a.data()[i]) != Bits(b.data()[i])) return static_cast<std::int64_t>(i);
  }
  return -1;
}

inline FloatArray Filled(int columns, int rows, int bands, float value) {
  FloatArray grid(columns, rows, bands);
  grid.Fill(value);
  return grid;
}

// Whole numbers low .. high, which every sum in the engine adds exactly.
inline FloatArray RandomIntegers(int columns, int rows, int bands, int low, int high,
                                 std::mt19937& rng) {
  FloatArray grid(columns, rows, bands);
  std::uniform_int_distribution<int> value(low, high);
  for (std::size_t i = 0; i < grid.size(); ++i) grid.data()[i] = static_cast<float>(value(rng));
  return grid;
}

inline FloatArray RandomFloats(int columns, int rows, int bands, float low, float high,
                               std::mt19937& rng) {
  FloatArray grid(columns, rows, bands);
  std::uniform_real_distribution<float> value(low, high);
  for (std::size_t i = 0; i < grid.size(); ++i) grid.data()[i] = value(rng);
  return grid;
}

inline FloatArray Copy(const FloatArray& source) {
  FloatArray copy(source.columns(), source.rows(), source.bands());
  std::memcpy(copy.data(), source.data(), source.size() * sizeof(float));
  return copy;
}

// The box sum evaluated cell by cell: an inner cell adds, along its row
// window, the column-window sum (rounded to float, as the column pass stores
// it) of each inner column and the input value of each edge column; edge cells
// keep their input.
inline FloatArray DirectBoxSum(const FloatArray& in, int r) {
  FloatArray out = Copy(in);
  const int rows = in.rows();
  const int columns = in.columns();
  for (int b = 0; b < in.bands(); ++b) {
    for (int i = r; i <= rows - r - 1; ++i) {
      for (int j = r; j <= columns - r - 1; ++j) {
        double total = 0.0;
        for (int j2 = j - r; j2 <= j + r; ++j2) {
          if (j2 >= r && j2 <= columns - r - 1) {
            double column = 0.0;
            for (int i2 = i - r; i2 <= i + r; ++i2) column += in.At(i2, j2, b);
            total += static_cast<float>(column);
          } else {
            total += in.At(i, j2, b);
          }
        }
        out.At(i, j, b) = static_cast<float>(total);
      }
    }
  }
  return out;
}

inline FloatArray DirectBoxMean(const FloatArray& in, int r) {
  FloatArray out = DirectBoxSum(in, r);
  const float w = static_cast<float>((2 * r + 1) * (2 * r + 1));
  for (int i = 0; i < in.rows(); ++i) {
    for (int j = r; j <= in.columns() - r - 1; ++j) {
      for (int b = 0; b < in.bands(); ++b) out.At(i, j, b) = out.At(i, j, b) / w;
    }
  }
  return out;
}

// A textured image pair where image 1 is image 0 moved right by `shift`
// columns: image1(r, c + shift) = image0(r, c). Columns that image 0 does not
// cover get fresh texture.
struct ImagePair {
  FloatArray image0;
  FloatArray image1;
};

inline ImagePair ShiftedPair(int columns, int rows, int bands, int shift, std::mt19937& rng) {
  FloatArray image0 = RandomIntegers(columns, rows, bands, 0, 255, rng);
  FloatArray image1 = RandomIntegers(columns, rows, bands, 0, 255, rng);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      for (int b = 0; b < bands; ++b) image1.Set(r, c + shift, b, image0.At(r, c, b));
    }
  }
  return {std::move(image0), std::move(image1)};
}

// The cells the iteration works on: at least 8 from every image edge and 3
// from either end of the disparity range.
inline bool InInterior(const StereoMatcher& m, int r, int c, int d) {
  return r >= 8 && r <= m.Rows() - 9 && c >= 8 && c <= m.Columns() - 9 && d >= 3 &&
         d <= m.NumDisparities() - 4;
}

inline StereoParams RangeParams(int disparities, int minDisparity) {
  StereoParams params;
  params.MinDisparity = minDisparity;
  params.MaxDisparity = minDisparity + disparities;
  return params;
}

// A matcher holding grids of the given shape, as Run would leave them before
// its stages fill them: Ln, DispConf and DisplayMap cleared, L0 all ones
// (or the volumes given, which must have that shape).
inline StereoMatcher MatcherWithGrids(int rows, int columns, int disparities, int minDisparity) {
  StereoMatcher matcher;
  matcher.Prepare(rows, columns, RangeParams(disparities, minDisparity));
  matcher.LoadVolumes(Filled(columns, rows, disparities, 1.0f),
                      Filled(columns, rows, disparities, 0.0f), 0);
  return matcher;
}

inline StereoMatcher MatcherWithVolumes(FloatArray l0, FloatArray ln, int minDisparity) {
  StereoMatcher matcher;
  matcher.Prepare(l0.rows(), l0.columns(), RangeParams(l0.bands(), minDisparity));
  matcher.LoadVolumes(std::move(l0), std::move(ln), 0);
  return matcher;
}

// A matcher whose result maps are `dispConf` (Columns x Rows x 2), for the
// stages after the engine's.
inline StereoMatcher MatcherWithResults(FloatArray dispConf, int disparities, int minDisparity) {
  StereoMatcher matcher =
      MatcherWithGrids(dispConf.rows(), dispConf.columns(), disparities, minDisparity);
  matcher.LoadResults(std::move(dispConf));
  return matcher;
}

// The grids a backend's stage gets from `m`, but over volumes held apart
// from it, for calling a stage directly on what the matcher would refuse.
inline StageGrids GridsLike(const StereoMatcher& m, FloatArray& l0, FloatArray& ln,
                            FloatArray* dispConf = nullptr) {
  return StageGrids{.Rows = m.Rows(),
                    .Columns = m.Columns(),
                    .NumDisparities = m.NumDisparities(),
                    .MinDisparity = m.MinDisparity(),
                    .WinRadRC = m.WinRadRC(),
                    .WinRadD = m.WinRadD(),
                    .L0 = &l0,
                    .Ln = &ln,
                    .DispConf = dispConf};
}

// Changes cells of the matcher's volumes, as a stage might leave them; `plant`
// must keep Ln 0 outside the interior.
inline void Plant(StereoMatcher& m,
                  const std::function<void(FloatArray& l0, FloatArray& ln)>& plant) {
  FloatArray l0 = Copy(*m.L0());
  FloatArray ln = Copy(*m.Ln());
  plant(l0, ln);
  m.LoadVolumes(std::move(l0), std::move(ln), m.IterationCount());
}

// Sets the number of threads the fast stages use until the scope ends.
class ThreadCount {
 public:
  explicit ThreadCount(int n) {
#ifdef _OPENMP
    saved_ = omp_get_max_threads();
    omp_set_num_threads(n);
#else
    (void)n;
#endif
  }
  ~ThreadCount() {
#ifdef _OPENMP
    omp_set_num_threads(saved_);
#endif
  }
  ThreadCount(const ThreadCount&) = delete;
  ThreadCount& operator=(const ThreadCount&) = delete;

 private:
  int saved_ = 1;
};

// The fast engine's instruction-set paths that this processor runs; every
// comparison of the fast engine with the reference runs on each of them.
inline std::vector<IsaPath> IsaPathsToCompare() { return AvailableIsaPaths(); }

// Runs the fast engine on `path` while in scope, then on the path chosen
// before.
class IsaPathScope {
 public:
  explicit IsaPathScope(IsaPath path) : saved_(ActiveIsaPath()) { SelectIsaPath(path); }
  ~IsaPathScope() { SelectIsaPath(saved_); }
  IsaPathScope(const IsaPathScope&) = delete;
  IsaPathScope& operator=(const IsaPathScope&) = delete;

 private:
  IsaPath saved_;
};

// One way of running the heavy stages on a matcher, with the preconditions
// of the reference functions. Every hand-made case of the engine runs on
// each path EnginePaths() lists.
struct EnginePath {
  std::string name;  // letters, digits and '_' only: it names test instances
  std::function<void(StereoMatcher&, const FloatArray& image0, const FloatArray& image1,
                     int winRadL0, float maxScaler, int useSad)>
      computeL0;
  std::function<void(StereoMatcher&)> iterate;
  std::function<void(StereoMatcher&)> extract;
  // The backend's stages alone, on grids the matcher would refuse (Ln not 0
  // outside the interior).
  std::function<void(StageGrids&)> iterateStage;
  std::function<void(StageGrids&)> extractStage;
};

// GoogleTest names the path in messages by this rather than by its bytes.
inline void PrintTo(const EnginePath& path, std::ostream* out) { *out << path.name; }

// One way of running the fast engine: an instruction-set path and a number
// of threads.
struct FastRun {
  IsaPath isa;
  int threads;
};

// The instruction-set path the programs would take with 1 thread, with 2 and
// 3 (bands of rows that split the small test images evenly and unevenly) and
// with 8, more than some of them have rows to share out; then every other
// path this processor runs with 3 threads only, since the paths differ in
// their kernels, not in how rows are shared out.
inline std::vector<FastRun> FastRuns() {
  const IsaPath chosen = ActiveIsaPath();
  std::vector<FastRun> runs;
  for (int threads : {1, 2, 3, 8}) runs.push_back({chosen, threads});
  for (IsaPath isa : AvailableIsaPaths()) {
    if (isa != chosen) runs.push_back({isa, 3});
  }
  return runs;
}

// Runs the fast engine as `run` says while in scope.
class FastRunScope {
 public:
  explicit FastRunScope(const FastRun& run) : path_(run.isa), threads_(run.threads) {}

 private:
  IsaPathScope path_;
  ThreadCount threads_;
};

// "path v3 threads 2", for messages.
inline std::string Describe(const FastRun& run) {
  return std::string("path ") + IsaPathName(run.isa) + " threads " + std::to_string(run.threads);
}

inline EnginePath FastEnginePath(const FastRun& run) {
  std::string name = std::string("Fast_") + IsaPathName(run.isa) + "_" +
                     std::to_string(run.threads) + (run.threads == 1 ? "Thread" : "Threads");
  return {name,
          [run](StereoMatcher& m, const FloatArray& image0, const FloatArray& image1, int winRadL0,
                float maxScaler, int useSad) {
            FastRunScope scope(run);
            m.Engine = EngineKind::Fast;
            m.ComputeL0(image0, image1, winRadL0, maxScaler, CostOf(useSad));
          },
          [run](StereoMatcher& m) {
            FastRunScope scope(run);
            m.Engine = EngineKind::Fast;
            m.Iterate();
          },
          [run](StereoMatcher& m) {
            FastRunScope scope(run);
            m.Engine = EngineKind::Fast;
            m.ExtractDispConf();
          },
          [run](StageGrids& grids) {
            FastRunScope scope(run);
            BackendFor(EngineKind::Fast).Iterate(grids, 1);
          },
          [run](StageGrids& grids) {
            FastRunScope scope(run);
            BackendFor(EngineKind::Fast).ExtractDispConf(grids);
          }};
}

// The reference, then the fast engine in each of FastRuns(). Further paths
// (other engines) belong here, so that every hand-made case meets them.
inline std::vector<EnginePath> EnginePaths() {
  std::vector<EnginePath> paths;
  // Each step runs through the matcher, as the programs run it: its checks,
  // its counters and the backend its Engine names.
  paths.push_back(
      {"Reference",
       [](StereoMatcher& m, const FloatArray& image0, const FloatArray& image1, int winRadL0,
          float maxScaler, int useSad) {
         m.Engine = EngineKind::Reference;
         m.ComputeL0(image0, image1, winRadL0, maxScaler, CostOf(useSad));
       },
       [](StereoMatcher& m) {
         m.Engine = EngineKind::Reference;
         m.Iterate();
       },
       [](StereoMatcher& m) {
         m.Engine = EngineKind::Reference;
         m.ExtractDispConf();
       },
       [](StageGrids& grids) { BackendFor(EngineKind::Reference).Iterate(grids, 1); },
       [](StageGrids& grids) { BackendFor(EngineKind::Reference).ExtractDispConf(grids); }});
  for (const FastRun& run : FastRuns()) paths.push_back(FastEnginePath(run));
  return paths;
}

}  // namespace tavrel::testing
