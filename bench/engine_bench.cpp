// tavrel-bench: times the fast engine against the straightforward one on a
// synthetic scene and, where the shared data lies beside the repository, on
// a real one; prints each result as a ratio measured in the same run.
//
//   tavrel-bench [--scene DIR]... [--no-real] [--quick] [--no-paths | --paths-only]
//                [--rounds N]
//
// DIR holds a directions file scene.cpd with its images (the first entry is
// used). --quick skips the reference timings of the one-band variants;
// --no-paths the comparison of the instruction-set paths on the synthetic
// scene; --paths-only runs that comparison alone; --rounds N runs it N
// times and then prints each figure's median. TAVREL_ISA chooses the path
// of the main figures.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "bench/arithmetic_floor.h"
#include "bench/bench_scenes.h"
#include "bench/core_clock.h"
#include "bench/heap_meter.h"
#include "bench/peer_matcher.h"
#include "engine/float_array.h"
#include "engine/isa_path.h"
#include "engine/stereo_matcher.h"
#include "engine/streamed_engine.h"

namespace tavrel::bench {
namespace {

struct Scene {
  std::string name;
  std::unique_ptr<FloatArray> image0;  // as many bands as the job asks for
  std::unique_ptr<FloatArray> image1;
  std::unique_ptr<FloatArray> grey0;  // band 0 alone, for the one-band variants
  std::unique_ptr<FloatArray> grey1;
  StereoJob job;
};

// Every time is the best of a few runs, the straightforward engine's too, so
// that a ratio compares like with like on a machine whose speed wavers.
constexpr int kReferenceRepeats = 2;
constexpr int kIterationRepeats = 12;
constexpr int kRatioRounds = 3;

double Best(int repeats, const std::function<void()>& work) {
  double best = 1e30;
  for (int i = 0; i < repeats; ++i) best = std::min(best, Seconds(work));
  return best;
}

// The best times of two pieces of work measured in turns, `rounds` times
// each, so that a drift of the machine's speed reaches both alike.
struct BestInTurns {
  double first = 1e30;
  double second = 1e30;
};

BestInTurns InTurns(int rounds, const std::function<void()>& first,
                    const std::function<void()>& second) {
  BestInTurns best;
  for (int i = 0; i < rounds; ++i) {
    best.first = std::min(best.first, Seconds(first));
    best.second = std::min(best.second, Seconds(second));
  }
  return best;
}

int Threads() {
#ifdef _OPENMP
  return omp_get_max_threads();
#else
  return 1;
#endif
}

std::unique_ptr<FloatArray> BandZero(const FloatArray& image) {
  auto grey = std::make_unique<FloatArray>(image.columns(), image.rows(), 1);
  for (int r = 0; r < image.rows(); ++r) {
    for (int c = 0; c < image.columns(); ++c) grey->At(r, c, 0) = image.At(r, c, 0);
  }
  return grey;
}

// A textured plane scene at the size users run: blobs of colour on noise,
// image 1 shifted by a disparity that steps from -30 to +5 across the rows.
Scene SyntheticScene() {
  Scene scene;
  scene.name = "synthetic";
  const int columns = 450, rows = 375, bands = 3;
  ImagePair images =
      TexturedPlanes(columns, rows, bands, 32, [rows](int r) { return -30 + (35 * r) / rows; });
  scene.image0 = std::move(images.image0);
  scene.image1 = std::move(images.image1);
  scene.job.NumBands = bands;
  scene.job.Params.MinDisparity = -50;
  scene.job.Params.MaxDisparity = 10;
  scene.job.Params.WinRadL0 = 1;
  scene.job.Params.WinRadRC = 2;
  scene.job.Params.WinRadD = 1;
  scene.job.Params.NumIterations = 10;
  scene.job.Params.MaxScaler = 0.96f;
  scene.job.Params.Cost = MatchCost::Sad;
  return scene;
}

bool LoadScene(const std::filesystem::path& dir, Scene& scene) {
  ImagePair images;
  if (!LoadFirstEntry(dir, scene.job, images)) return false;
  scene.name = dir.filename().string();
  scene.image0 = std::move(images.image0);
  scene.image1 = std::move(images.image1);
  return true;
}

// A matcher holding the job's grids, ready for ComputeL0. Prepare clears
// them, so that a stage's time does not include the system mapping and
// clearing fresh pages (the whole-job times do include it).
std::unique_ptr<StereoMatcher> Prepared(const Scene& scene, EngineKind engine) {
  auto m = std::make_unique<StereoMatcher>();
  m->Engine = engine;
  m->Prepare(scene.image0->rows(), scene.image0->columns(), scene.job.Params);
  return m;
}

FloatArray CopyOf(const FloatArray& grid) {
  FloatArray copy(grid.columns(), grid.rows(), grid.bands());
  std::memcpy(copy.data(), grid.data(), grid.size() * sizeof(float));
  return copy;
}

std::string PathList() {
  std::string list = "this processor runs";
  for (IsaPath path : AvailableIsaPaths()) list += std::string(" ") + IsaPathName(path);
  return list;
}

// Sets the OpenMP thread count while in scope.
class ThreadLimit {
 public:
  explicit ThreadLimit(int n) : saved_(Threads()) {
#ifdef _OPENMP
    omp_set_num_threads(n);
#else
    (void)n;
#endif
  }
  ~ThreadLimit() {
#ifdef _OPENMP
    omp_set_num_threads(saved_);
#endif
  }

 private:
  int saved_;
};

// What ComparePaths measures on one path.
struct PathFigures {
  IsaPath path = IsaPath::Baseline;
  double floor = 0.0;      // seconds per cell, one thread
  double iteration = 0.0;  // seconds per cell, one thread
  double ratio = 0.0;      // iteration / floor
  // Per measure (SAD, correlation): the fast engine's seconds and its
  // speed-up against the straightforward engine.
  double l0[2] = {}, l0SpeedUp[2] = {};
  double window[2] = {}, windowSpeedUp[2] = {};
  double batch[2] = {}, batchSpeedUp[2] = {};
};

void PrintPathsHead(const char* what, double hz) {
  std::printf(
      "\n  %s (core clock %.2f GHz by a dependent add chain;\n"
      "  floor and iteration on one thread, per cell; ComputeL0 and jobs on %d threads,\n"
      "  SAD and correlation, each against the straightforward engine; the window's job\n"
      "  keeps both volumes, the batch job is tavrel-batch's streamed pass)\n",
      what, hz / 1e9, Threads());
  std::printf("  %-9s %17s %19s %6s %18s %18s %18s\n", "path", "floor", "iteration", "ratio",
              "ComputeL0", "window's job", "batch job");
}

void PrintPathLines(const PathFigures& f, double hz) {
  char head[128];
  std::snprintf(head, sizeof head, "  %-9s %5.2f cy %6.3f ns %5.2f cy %6.3f ns %5.2fx",
                IsaPathName(f.path), f.floor * hz, f.floor * 1e9, f.iteration * hz,
                f.iteration * 1e9, f.ratio);
  std::string lead = head;
  for (int c = 0; c < 2; ++c) {
    std::printf("%s %7.2f ms %5.1fx %7.1f ms %5.1fx %7.1f ms %5.1fx  %s\n", lead.c_str(),
                f.l0[c] * 1e3, f.l0SpeedUp[c], f.window[c] * 1e3, f.windowSpeedUp[c],
                f.batch[c] * 1e3, f.batchSpeedUp[c], c == 0 ? "SAD" : "correlation");
    lead.assign(lead.size(), ' ');
  }
  std::fflush(stdout);
}

// Every instruction-set path side by side in one run: on one thread, the
// arithmetic floor (the iteration's operations on data in the first-level
// cache) and one iteration of the scene, in core cycles per cell and in ns,
// and their ratio; on all threads ComputeL0 and a whole job against the
// straightforward engine, the two engines in turns for each path (the
// machine's speed drifts by a fifth within minutes).
std::vector<PathFigures> ComparePaths(const Scene& scene, double hz) {
  const StereoJob& job = scene.job;
  const int rows = scene.image0->rows(), columns = scene.image0->columns();
  const double cells =
      static_cast<double>(rows) * columns * (job.Params.MaxDisparity - job.Params.MinDisparity);
  auto computeL0 = [&](MatchCost cost) {
    auto reference = Prepared(scene, EngineKind::Reference);
    auto fast = Prepared(scene, EngineKind::Fast);
    auto run = [&](StereoMatcher& m) {
      return [&] {
        m.ComputeL0(*scene.image0, *scene.image1, job.Params.WinRadL0, job.Params.MaxScaler, cost);
      };
    };
    return InTurns(kRatioRounds, run(*reference), run(*fast));
  };
  // The job as StereoMatcher::Run does it for the window (both volumes
  // kept), and as tavrel-batch and Python do it (RunMatcherJob: the
  // streamed pass, no volume).
  auto wholeJob = [&](MatchCost cost, bool asBatch) {
    StereoParams params = job.Params;
    params.Cost = cost;
    StereoMatcher reference;
    reference.Engine = EngineKind::Reference;
    StereoMatcher fast;
    return InTurns(
        kRatioRounds, [&] { reference.Run(*scene.image0, *scene.image1, params); },
        [&] {
          if (asBatch) {
            RunMatcherJob(fast, *scene.image0, *scene.image1, params, Threads());
          } else {
            fast.Run(*scene.image0, *scene.image1, params);
          }
        });
  };
  PrintPathsHead("instruction-set paths side by side", hz);
  std::vector<PathFigures> figures;
  const IsaPath chosen = ActiveIsaPath();
  for (IsaPath path : AvailableIsaPaths()) {
    SelectIsaPath(path);
    PathFigures f;
    f.path = path;
    f.floor = f.iteration = 1e30;
    {
      ThreadLimit one(1);
      auto m = Prepared(scene, EngineKind::Fast);
      m->ComputeL0(*scene.image0, *scene.image1, job.Params.WinRadL0, job.Params.MaxScaler,
                   job.Params.Cost);
      // The floor and the iteration in turns, the best of each: one
      // iteration takes tens of milliseconds, and a shared machine's speed
      // wavers by a fifth from one minute to the next. Timed once each, one
      // after the other, the floor read 5.4 to 6.4 cycles per cell over
      // several runs; in turns, 3.9 to 4.2.
      for (int round = 0; round < kRatioRounds; ++round) {
        f.floor = std::min(f.floor, ArithmeticFloorPerCell(1));
        f.iteration =
            std::min(f.iteration,
                     Best(kIterationRepeats / kRatioRounds, [&] { m->RunIterations(1); }) / cells);
      }
      f.ratio = f.iteration / f.floor;
    }
    for (int c = 0; c < 2; ++c) {
      const MatchCost cost = c == 0 ? MatchCost::Sad : MatchCost::Correlation;
      const BestInTurns l0 = computeL0(cost);
      const BestInTurns window = wholeJob(cost, false);
      const BestInTurns batch = wholeJob(cost, true);
      f.l0[c] = l0.second;
      f.l0SpeedUp[c] = l0.first / l0.second;
      f.window[c] = window.second;
      f.windowSpeedUp[c] = window.first / window.second;
      f.batch[c] = batch.second;
      f.batchSpeedUp[c] = batch.first / batch.second;
    }
    PrintPathLines(f, hz);
    figures.push_back(f);
  }
  SelectIsaPath(chosen);
  return figures;
}

// Each figure's median over the runs, path by path. Ratios are the medians
// of each run's own ratio, not ratios of medians: each run's pair was timed
// in the same minutes.
PathFigures MedianFigures(const std::vector<std::vector<PathFigures>>& runs, std::size_t p) {
  auto median = [&](auto pick) {
    std::vector<double> values;
    for (const auto& run : runs) values.push_back(pick(run[p]));
    return Median(values);
  };
  PathFigures m;
  m.path = runs.front()[p].path;
  m.floor = median([](const PathFigures& f) { return f.floor; });
  m.iteration = median([](const PathFigures& f) { return f.iteration; });
  m.ratio = median([](const PathFigures& f) { return f.ratio; });
  for (int c = 0; c < 2; ++c) {
    m.l0[c] = median([c](const PathFigures& f) { return f.l0[c]; });
    m.l0SpeedUp[c] = median([c](const PathFigures& f) { return f.l0SpeedUp[c]; });
    m.window[c] = median([c](const PathFigures& f) { return f.window[c]; });
    m.windowSpeedUp[c] = median([c](const PathFigures& f) { return f.windowSpeedUp[c]; });
    m.batch[c] = median([c](const PathFigures& f) { return f.batch[c]; });
    m.batchSpeedUp[c] = median([c](const PathFigures& f) { return f.batchSpeedUp[c]; });
  }
  return m;
}

// The comparison `rounds` times over, then the medians: single runs on a
// shared machine wander by a fifth, which is as much as a goal's margin.
void ComparePathsRepeatedly(const Scene& scene, int rounds) {
  const double hz = CoreCyclesPerSecond();
  std::vector<std::vector<PathFigures>> runs;
  for (int r = 0; r < rounds; ++r) runs.push_back(ComparePaths(scene, hz));
  if (rounds < 2) return;
  char what[64];
  std::snprintf(what, sizeof what, "medians of the %d runs above", rounds);
  PrintPathsHead(what, hz);
  for (std::size_t p = 0; p < runs.front().size(); ++p) PrintPathLines(MedianFigures(runs, p), hz);
}

void Row(const char* label, double reference, double fast, const char* unit = "ms") {
  std::printf("  %-34s %12.1f %s %10.2f %s %8.1fx\n", label, reference * 1e3, unit, fast * 1e3,
              unit, reference / fast);
}

void RunScene(const Scene& scene, bool quick) {
  const StereoJob& job = scene.job;
  const int rows = scene.image0->rows(), columns = scene.image0->columns();
  const int disparities = job.Params.MaxDisparity - job.Params.MinDisparity;
  const double cells = static_cast<double>(rows) * columns * disparities;
  std::printf(
      "\n== %s: %d x %d x %d bands, disparities %d .. %d (%d), radii %d/%d/%d, %d "
      "iterations, %s\n",
      scene.name.c_str(), columns, rows, job.NumBands, job.Params.MinDisparity,
      job.Params.MaxDisparity, disparities, job.Params.WinRadL0, job.Params.WinRadRC,
      job.Params.WinRadD, job.Params.NumIterations,
      job.Params.Cost == MatchCost::Sad ? "SAD" : "correlation");
  std::printf("   %.1f M cells per volume, %d threads, load average %s, path %s (%s)\n",
              cells / 1e6, Threads(), LoadAverage().c_str(), IsaPathName(ActiveIsaPath()),
              PathList().c_str());

  const double triad = TriadBandwidth(static_cast<std::size_t>(cells));
  const double bound = 12.0 * cells / triad;
  std::printf(
      "   triad bandwidth on volume-sized arrays: %.1f GB/s; one iteration's traffic "
      "(12 bytes per cell) takes %.2f ms\n",
      triad / 1e9, bound * 1e3);
  const double floor = ArithmeticFloorPerCell(Threads()) * cells;
  std::printf(
      "   its arithmetic alone, on data in the first-level cache, takes %.2f ms (%.2fx the "
      "traffic bound)\n",
      floor * 1e3, floor / bound);

  // Whole jobs as the programs run them, with their peak heap.
  auto runJob = [&](StereoMatcher& m, int maxDisparity) {
    StereoParams params = job.Params;
    params.MaxDisparity = maxDisparity;
    m.Run(*scene.image0, *scene.image1, params);
  };
  // A fifth fewer disparities: a job whose volumes fit in the previous one's.
  const int smallerMax = job.Params.MaxDisparity - std::max(1, disparities / 5);
  // A job on a fresh matcher, whose volumes the system must map and clear,
  // the same job again on that matcher, as in a batch of same-sized jobs,
  // which keeps the volumes, and then a smaller job, which keeps them too.
  struct JobTimes {
    double fresh = 1e30;
    double next = 1e30;
    double smaller = 1e30;
    std::size_t peak = 0;
  };
  auto measureJob = [&](EngineKind engine, int repeats) {
    JobTimes times;
    for (int i = 0; i < repeats; ++i) {
      StereoMatcher m;
      m.Engine = engine;
      // As in a program's first job: no scratch kept from earlier work, so
      // that the peak counts the scratch the job uses.
      const std::size_t before = HeapInUse();
      ResetHeapPeak();
      times.fresh = std::min(times.fresh, Seconds([&] { runJob(m, job.Params.MaxDisparity); }));
      times.peak = std::max(times.peak, HeapPeak() - before);
      times.next = std::min(times.next, Seconds([&] { runJob(m, job.Params.MaxDisparity); }));
      times.smaller = std::min(times.smaller, Seconds([&] { runJob(m, smallerMax); }));
    }
    return times;
  };
  const JobTimes fastJobs = measureJob(EngineKind::Fast, 3);
  const JobTimes referenceJobs = measureJob(EngineKind::Reference, kReferenceRepeats);
  const double fastJob = fastJobs.fresh;
  const std::size_t fastPeak = fastJobs.peak, referencePeak = referenceJobs.peak;
  const double volumes = 2.0 * cells * sizeof(float);
  const double plane = static_cast<double>(rows) * columns * sizeof(float);

  std::printf("\n  %-34s %15s %13s %9s\n", "stage", "straightforward", "fast", "speed-up");
  // ComputeL0 in its four variants.
  for (MatchCost cost : {MatchCost::Sad, MatchCost::Correlation}) {
    const bool sad = cost == MatchCost::Sad;
    for (int bands : {1, 3}) {
      const FloatArray& i0 = bands == 1 ? *scene.grey0 : *scene.image0;
      const FloatArray& i1 = bands == 1 ? *scene.grey1 : *scene.image1;
      auto fast = Prepared(scene, EngineKind::Fast);
      const double fastTime = Best(
          3, [&] { fast->ComputeL0(i0, i1, job.Params.WinRadL0, job.Params.MaxScaler, cost); });
      std::string label = std::string("ComputeL0 ") + (sad ? "SAD" : "correlation") + ", " +
                          std::to_string(bands) + (bands == 1 ? " band" : " bands");
      if (quick && bands == 1) {
        std::printf("  %-34s %15s %10.2f ms\n", label.c_str(), "-", fastTime * 1e3);
        continue;
      }
      auto reference = Prepared(scene, EngineKind::Reference);
      const double referenceTime = Best(kReferenceRepeats, [&] {
        reference->ComputeL0(i0, i1, job.Params.WinRadL0, job.Params.MaxScaler, cost);
      });
      Row(label.c_str(), referenceTime, fastTime);
    }
  }

  // Iterations, from the job's own initial values.
  auto reference = Prepared(scene, EngineKind::Reference);
  auto fast = Prepared(scene, EngineKind::Fast);
  fast->ComputeL0(*scene.image0, *scene.image1, job.Params.WinRadL0, job.Params.MaxScaler,
                  job.Params.Cost);
  reference->LoadVolumes(CopyOf(*fast->L0()), CopyOf(*fast->Ln()), fast->IterationCount());
  const double referenceIteration = Best(kReferenceRepeats, [&] { reference->RunIterations(1); });
  // A series of iterations as a job runs them: the fast backend runs several
  // in each pass over the volumes, so only the series as a whole is timed.
  const int series = std::max(job.Params.NumIterations, 3);
  const double fastIteration = Seconds([&] { fast->RunIterations(series); }) / series;
  Row("one iteration (mean)", referenceIteration, fastIteration);
  std::printf("  %-34s %12.2f ns %10.3f ns %8.1fx\n", "per cell and iteration",
              referenceIteration / cells * 1e9, fastIteration / cells * 1e9,
              referenceIteration / fastIteration);
  std::printf("  %-34s %15s %10.2f ms %8.2fx bound\n", "iteration vs traffic bound", "",
              fastIteration * 1e3, fastIteration / bound);
  {
    // The same iteration on a crop whose volumes fit in the third-level
    // cache, against the scene's, both on one thread and in turns. Counted
    // per interior cell (margins cost next to nothing, and a crop has more
    // of them), so that what stays is what the volumes' trips through memory
    // add to the kernels' own work.
    Scene crop;
    crop.job = job;
    const int cropColumns = std::min(columns, 200), cropRows = std::min(rows, 150);
    crop.image0 = std::make_unique<FloatArray>(cropColumns, cropRows, scene.image0->bands());
    crop.image1 = std::make_unique<FloatArray>(cropColumns, cropRows, scene.image1->bands());
    for (int r = 0; r < cropRows; ++r) {
      for (int c = 0; c < cropColumns; ++c) {
        for (int b = 0; b < scene.image0->bands(); ++b) {
          crop.image0->At(r, c, b) = scene.image0->At(r + (rows - cropRows) / 2, c, b);
          crop.image1->At(r, c, b) = scene.image1->At(r + (rows - cropRows) / 2, c, b);
        }
      }
    }
    auto small = Prepared(crop, EngineKind::Fast);
    small->ComputeL0(*crop.image0, *crop.image1, job.Params.WinRadL0, job.Params.MaxScaler,
                     job.Params.Cost);
    const int repeats = 5;
    BestInTurns oneThread;
    {
      ThreadLimit one(1);
      oneThread = InTurns(
          4, [&] { fast->RunIterations(repeats); }, [&] { small->RunIterations(repeats); });
    }
    const auto interior = [&](int r, int c) {
      return static_cast<double>(r - 2 * kPixelMargin) * (c - 2 * kPixelMargin) *
             (disparities + 1 - 2 * kDisparityMargin);
    };
    const double smallCells = static_cast<double>(cropRows) * cropColumns * (disparities + 1);
    std::printf(
        "  iteration per interior cell, one thread: the scene %.3f ns, a %d x %d crop (%.1f MB "
        "per volume) %.3f ns\n",
        oneThread.first / repeats / interior(rows, columns) * 1e9, cropColumns, cropRows,
        smallCells * sizeof(float) / 1e6,
        oneThread.second / repeats / interior(cropRows, cropColumns) * 1e9);
  }
  const double referenceExtraction = Best(kReferenceRepeats, [&] { reference->ExtractDispConf(); });
  const double fastExtraction = Best(3, [&] { fast->ExtractDispConf(); });
  Row("ExtractDispConf", referenceExtraction, fastExtraction);
  reference.reset();
  fast.reset();
  Row("whole job (Run), fresh matcher", referenceJobs.fresh, fastJobs.fresh);
  Row("whole job, same-sized job next", referenceJobs.next, fastJobs.next);
  const std::string smallerLabel =
      "whole job, " + std::to_string(smallerMax - job.Params.MinDisparity) + " disparities next";
  Row(smallerLabel.c_str(), referenceJobs.smaller, fastJobs.smaller);
  std::printf(
      "  %-34s %12.1f MB %10.1f MB   (the two volumes %.1f MB; the rest %.1f MB = "
      "%.1f image planes, 3 of them DispConf and DisplayMap)\n",
      "peak heap of a job", referencePeak / 1e6, fastPeak / 1e6, volumes / 1e6,
      (fastPeak - volumes) / 1e6, (fastPeak - volumes) / plane);

  if (HavePeerMatcher()) {
    const double peer = TimePeerMatcher(*scene.image0, *scene.image1, job.Params.MinDisparity,
                                        job.Params.MaxDisparity, 3);
    std::printf("  %-34s %12.1f ms %10.2f ms   (fast job / StereoSGBM: %.1fx)\n",
                "OpenCV StereoSGBM, block 5", peer * 1e3, fastJob * 1e3, fastJob / peer);
  } else {
    std::printf("  OpenCV not found at configure time: no StereoSGBM comparison\n");
  }
  std::printf("   load average after the scene: %s\n", LoadAverage().c_str());
}

// A whole number from 1 to 100, or 0.
int RoundCount(const char* text) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && n >= 1 && n <= 100 ? static_cast<int>(n) : 0;
}

}  // namespace
}  // namespace tavrel::bench

int main(int argc, char** argv) {
  using namespace tavrel::bench;
  try {
    tavrel::ActiveIsaPath();
  } catch (const tavrel::IsaPathError& error) {
    std::fprintf(stderr, "tavrel-bench: %s\n", error.what());
    return 1;
  }
  bool quick = false;
  bool paths = true;
  bool pathsOnly = false;
  bool real = true;
  int rounds = 1;
  std::vector<std::filesystem::path> dirs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--no-paths") {
      paths = false;
    } else if (arg == "--paths-only") {
      pathsOnly = true;
      real = false;
    } else if (arg == "--no-real") {
      real = false;
    } else if (arg == "--scene" && i + 1 < argc) {
      dirs.emplace_back(argv[++i]);
    } else if (arg == "--rounds" && i + 1 < argc && RoundCount(argv[i + 1]) > 0) {
      rounds = RoundCount(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: tavrel-bench [--scene DIR]... [--no-real] [--quick] [--no-paths | "
                   "--paths-only] [--rounds N]\n");
      return 2;
    }
  }
  if (real && dirs.empty()) {
    const std::filesystem::path shared = TAVREL_SHARED_DATA_DIR;
    if (std::filesystem::exists(shared / "teddy" / "scene.cpd")) dirs.push_back(shared / "teddy");
  }

  std::vector<Scene> scenes;
  scenes.push_back(SyntheticScene());
  for (const auto& dir : dirs) {
    Scene scene;
    if (LoadScene(dir, scene)) {
      scenes.push_back(std::move(scene));
    } else {
      std::fprintf(stderr, "cannot load the scene in %s\n", dir.c_str());
    }
  }
  for (auto& scene : scenes) {
    scene.grey0 = BandZero(*scene.image0);
    scene.grey1 = BandZero(*scene.image1);
    if (!pathsOnly) RunScene(scene, quick);
    if ((paths || pathsOnly) && &scene == &scenes.front()) ComparePathsRepeatedly(scene, rounds);
  }
  return 0;
}
