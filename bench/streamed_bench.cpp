// tavrel-streamed-bench: the streamed pass against the volume engine, side
// by side on a synthetic scene and, where the shared data lies beside the
// repository, on teddy: wall time on 1 and 2 threads, the peak heap beside
// the formula and the two volumes, and whether the results agree to the bit.
// With --l0, first the initial match values alone on every instruction-set
// path: the straightforward ComputeL0, the volume engine's and the streamed
// stage's.
//
//   tavrel-streamed-bench [--l0] [--full] [--huge] [--no-real] [--correlation] [--row-sizes]
//
// --full adds a synthetic scene of the full-size benchmark shape
// (1282 x 1110, 175 disparities, 3 bands); --huge one of 2880 x 1988 with
// 290 disparities, streamed only (its volumes would take 13.4 GB). Either
// first measures the memory bus from 1 and 2 threads.
// --correlation runs every scene's job with correlation instead of its own
// measure. --row-sizes times, instead of the scenes, one thread's streamed
// job per cell on rows of growing size (columns x disparities).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "bench/bench_scenes.h"
#include "bench/core_clock.h"
#include "bench/heap_meter.h"
#include "engine/float_array.h"
#include "engine/isa_path.h"
#include "engine/stereo_matcher.h"
#include "engine/streamed_engine.h"
#include "engine/streamed_stages.h"

namespace tavrel::bench {
namespace {

struct Scene {
  std::string name;
  std::unique_ptr<FloatArray> image0;
  std::unique_ptr<FloatArray> image1;
  StereoParams job;
  bool volumes = true;  // also run the volume engine
};

// Textured planes, image 1 shifted by a disparity that steps across the rows
// within the job's range.
Scene Synthetic(const std::string& name, int columns, int rows, int minDisparity, int maxDisparity,
                int iterations) {
  Scene scene;
  scene.name = name;
  const int pad = std::max(std::abs(minDisparity), std::abs(maxDisparity)) + 2;
  const int span = maxDisparity - minDisparity;
  ImagePair images = TexturedPlanes(columns, rows, 3, pad, [=](int r) {
    return minDisparity + span / 5 + (3 * span / 5) * r / rows;
  });
  scene.image0 = std::move(images.image0);
  scene.image1 = std::move(images.image1);
  scene.job = StereoParams{minDisparity, maxDisparity, 1, 2, 1, iterations, 0.96f, MatchCost::Sad};
  return scene;
}

bool LoadScene(const std::filesystem::path& dir, Scene& scene) {
  StereoJob job;
  ImagePair images;
  if (!LoadFirstEntry(dir, job, images)) return false;
  scene.name = dir.filename().string();
  scene.image0 = std::move(images.image0);
  scene.image1 = std::move(images.image1);
  scene.job = job.Params;
  return true;
}

struct Measured {
  double seconds = 0.0;
  double cpuSeconds = 0.0;  // of the whole process, all threads
  double peakBytes = 0.0;
};

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The best of `repeats` runs (wall and processor time; on a shared machine
// the processor time wavers less), and the heap the work held above what
// was in use before it.
Measured Measure(int repeats, const std::function<void()>& work) {
  Measured m;
  m.seconds = 1e30;
  m.cpuSeconds = 1e30;
  for (int i = 0; i < repeats; ++i) {
    const std::size_t before = HeapInUse();
    ResetHeapPeak();
    const double cpu = CpuSeconds();
    m.seconds = std::min(m.seconds, Seconds(work));
    m.cpuSeconds = std::min(m.cpuSeconds, CpuSeconds() - cpu);
    m.peakBytes = static_cast<double>(HeapPeak() - before);
  }
  return m;
}

double MB(double bytes) { return bytes / 1e6; }

// The memory bus from 1 and 2 threads: the triad over arrays far larger
// than any cache. A pass whose data outgrow the caches and that waits on
// the bus can gain from a second thread at most the second figure's share
// over the first.
void PrintMemoryBus() {
  constexpr std::size_t kCount = std::size_t{64} << 20;  // 256 MB of floats per array
  const double one = TriadBandwidth(kCount, 1);
  const double two = TriadBandwidth(kCount, 2);
  std::printf(
      "memory bus (a = b + s * c over three 256 MB arrays): %.1f GB/s from 1 thread, "
      "%.1f GB/s from 2, %.2fx\n",
      one / 1e9, two / 1e9, two / one);
}

// The rows of a whole grid, for a stage that reads a volume.
class VolumeRows : public streamed::RowSource {
 public:
  explicit VolumeRows(const FloatArray& grid) : grid_(grid) {}
  const float* Row(int row) override {
    return grid_.data() + static_cast<std::size_t>(row) * grid_.columns() * grid_.bands();
  }

 private:
  const FloatArray& grid_;
};

// Sets the threads of the engine's parallel regions; returns the count before.
int SetThreads(int threads) {
#ifdef _OPENMP
  const int before = omp_get_max_threads();
  omp_set_num_threads(threads);
  return before;
#else
  (void)threads;
  return 1;
#endif
}

// Band 0 of an image, for the one-band jobs.
FloatArray Grey(const FloatArray& image) {
  FloatArray grey(image.columns(), image.rows(), 1);
  for (int r = 0; r < image.rows(); ++r) {
    for (int c = 0; c < image.columns(); ++c) grey.At(r, c, 0) = image.At(r, c, 0);
  }
  return grey;
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The best of `repeats` runs: wall time for work on several threads, and
// for work on the calling thread alone its processor time, which wavers far
// less than the wall time on a machine shared with other work.
double BestSeconds(int repeats, bool oneThread, const std::function<void()>& work) {
  double best = 1e30;
  for (int i = 0; i < repeats; ++i) {
    if (oneThread) {
      const double start = ThreadCpuSeconds();
      work();
      best = std::min(best, ThreadCpuSeconds() - start);
    } else {
      best = std::min(best, Seconds(work));
    }
  }
  return best;
}

// ComputeL0 on a matcher holding the job's volumes, touched before, so that
// the time leaves out the system's mapping of fresh pages.
double VolumeL0Seconds(const FloatArray& image0, const FloatArray& image1, const StereoParams& job,
                       EngineKind engine, int threads, int repeats) {
  StereoMatcher m;
  m.Engine = engine;
  m.Prepare(image0.rows(), image0.columns(), job);
  const int saved = SetThreads(threads);
  const MatchCost cost = job.Cost;
  const double seconds = BestSeconds(repeats, threads == 1, [&] {
    m.ComputeL0(image0, image1, job.WinRadL0, job.MaxScaler, cost);
  });
  SetThreads(saved);
  return seconds;
}

// Every row of L0 from the streamed stage, on one thread.
double StreamedL0Seconds(const FloatArray& image0, const FloatArray& image1,
                         const StereoParams& job, int repeats) {
  const streamed::JobShape shape = streamed::ShapeOf(image0, image1, job);
  return BestSeconds(repeats, true, [&] {
    streamed::InitialValuesStage stage(shape, image0, image1, 1, streamed::Threads{1});
    for (int r = 0; r < shape.rows; ++r) stage.Row(r);
  });
}

// The initial match values four ways (SAD and correlation, 1 and 3 bands)
// on every path the processor runs: the straightforward ComputeL0 (measured
// once), the volume engine's and the streamed stage's, all on one thread
// (processor time), then the volume engine's on all threads (wall time);
// the speed-ups against the straightforward.
void CompareInitialValues(const Scene& scene) {
  const FloatArray grey0 = Grey(*scene.image0);
  const FloatArray grey1 = Grey(*scene.image1);
  const int threads = SetThreads(1);
  SetThreads(threads);
  std::printf(
      "  initial match values in ms, speed-up against the straightforward engine (one thread,\n"
      "  processor time; the last column on %d threads, wall time)\n",
      threads);
  std::printf("  %-22s %-9s %15s %16s %16s %16s\n", "", "path", "straightforward", "volume engine",
              "streamed", "volume, threads");
  const IsaPath chosen = ActiveIsaPath();
  for (const bool sad : {true, false}) {
    for (const int bands : {1, 3}) {
      const FloatArray& i0 = bands == 1 ? grey0 : *scene.image0;
      const FloatArray& i1 = bands == 1 ? grey1 : *scene.image1;
      StereoParams job = scene.job;
      job.Cost = sad ? MatchCost::Sad : MatchCost::Correlation;
      const double reference = VolumeL0Seconds(i0, i1, job, EngineKind::Reference, 1, 1);
      const std::string label = std::string(sad ? "SAD" : "correlation") + ", " +
                                std::to_string(bands) + " band" + (bands == 1 ? "" : "s");
      for (const IsaPath path : AvailableIsaPaths()) {
        SelectIsaPath(path);
        const double one = VolumeL0Seconds(i0, i1, job, EngineKind::Fast, 1, 3);
        const double rows = StreamedL0Seconds(i0, i1, job, 3);
        const double all = VolumeL0Seconds(i0, i1, job, EngineKind::Fast, threads, 3);
        std::printf("  %-22s %-9s %15.1f %8.1f %6.1fx %8.1f %6.1fx %8.1f %6.1fx\n", label.c_str(),
                    IsaPathName(path), reference * 1e3, one * 1e3, reference / one, rows * 1e3,
                    reference / rows, all * 1e3, reference / all);
      }
    }
  }
  SelectIsaPath(chosen);
}

// One iteration on one thread, per cell of the volume and per
// instruction-set path, side by side: the streamed stage reading Ln and L0
// from volumes, and the matcher's Iterate, the same stage as a pass that
// rewrites Ln in place.
void IterationCost(const Scene& scene, double cyclesPerSecond) {
  const FloatArray& image0 = *scene.image0;
  const StereoParams& job = scene.job;
  StereoParams noIterations = job;
  noIterations.NumIterations = 0;
  StereoMatcher matcher;
  matcher.Run(image0, *scene.image1, noIterations);
  streamed::JobShape shape =
      streamed::ShapeOf(image0.rows(), image0.columns(), image0.bands(), job);
  shape.iterations = 1;
  const double cells = static_cast<double>(shape.rows) * shape.columns * shape.disparities;
  const IsaPath chosen = ActiveIsaPath();
  for (const IsaPath path : AvailableIsaPaths()) {
    SelectIsaPath(path);
    VolumeRows l0(*matcher.L0());
    VolumeRows ln(*matcher.Ln());
    double stage = 1e30;
    for (int i = 0; i < 5; ++i) {
      stage = std::min(stage, Seconds([&] {
                         streamed::IterationScratch scratch(shape, streamed::Threads{1});
                         streamed::IterationStage iteration(shape, ln, l0, streamed::Threads{1}, 1,
                                                            scratch);
                         for (int r = 0; r < shape.rows; ++r) iteration.Row(r);
                       }));
    }
    const int threads = SetThreads(1);
    double volume = 1e30;
    for (int i = 0; i < 5; ++i) volume = std::min(volume, Seconds([&] { matcher.Iterate(); }));
    SetThreads(threads);
    std::printf(
        "  one iteration, one thread, %-8s: streamed stage %.2f cycles per cell (%.3f ns), "
        "matcher's Iterate %.2f cycles per cell (%.3f ns)\n",
        IsaPathName(path), stage * cyclesPerSecond / cells, 1e9 * stage / cells,
        volume * cyclesPerSecond / cells, 1e9 * volume / cells);
  }
  SelectIsaPath(chosen);
}

void RunScene(const Scene& scene, bool initialValues) {
  const FloatArray& image0 = *scene.image0;
  const StereoParams& job = scene.job;
  const int repeats = scene.volumes && image0.rows() < 600 ? 2 : 1;
  std::printf("%s: %d x %d x %d, %d disparities, %d iterations, radii %d/%d/%d, load %s\n",
              scene.name.c_str(), image0.columns(), image0.rows(), image0.bands(),
              job.MaxDisparity - job.MinDisparity, job.NumIterations, job.WinRadL0, job.WinRadRC,
              job.WinRadD, LoadAverage().c_str());
  if (initialValues && scene.volumes) CompareInitialValues(scene);

  FloatArray volumeResult(image0.columns(), image0.rows(), 2);
  Measured volume;
  if (scene.volumes) {
    volume = Measure(repeats, [&] {
      StereoMatcher matcher;
      matcher.Run(image0, *scene.image1, job);
      std::memcpy(volumeResult.data(), matcher.DispConf()->data(),
                  volumeResult.size() * sizeof(float));
    });
  }
  FloatArray streamedResult(image0.columns(), image0.rows(), 2);
  DispConfPlane plane(streamedResult);
  Measured streamed[2];
  for (int threads = 1; threads <= 2; ++threads) {
    streamed[threads - 1] =
        Measure(repeats, [&] { RunStreamed(image0, *scene.image1, job, threads, plane); });
  }

  const double formula = StreamedPeakBytes(image0, *scene.image1, job, 0);
  const double twoVolumes = VolumePeakBytes(image0.rows(), image0.columns(), job);
  if (scene.volumes) {
    std::printf("  volume engine (2 threads)  %8.3f s  cpu %8.3f s  peak heap %9.1f MB\n",
                volume.seconds, volume.cpuSeconds, MB(volume.peakBytes));
  }
  for (int t = 0; t < 2; ++t) {
    std::printf("  streamed, %d thread%s        %8.3f s  cpu %8.3f s  peak heap %9.1f MB\n", t + 1,
                t ? "s" : " ", streamed[t].seconds, streamed[t].cpuSeconds,
                MB(streamed[t].peakBytes));
  }
  std::printf("  streamed peak by the formula %9.1f MB; the two volumes %9.1f MB\n", MB(formula),
              MB(twoVolumes));
  std::printf("  2 threads against 1: %.2fx", streamed[0].seconds / streamed[1].seconds);
  if (scene.volumes) {
    const bool same = std::memcmp(volumeResult.data(), streamedResult.data(),
                                  volumeResult.size() * sizeof(float)) == 0;
    std::printf("; volume engine against streamed (2 threads): %.2fx; results %s",
                volume.seconds / streamed[1].seconds, same ? "identical" : "DIFFER");
  }
  std::printf("\n");
  if (scene.volumes) IterationCost(scene, CoreCyclesPerSecond());
}

// What a streamed job costs per cell as its rows grow. Every stage walks
// its rows, its column sums and L0's row once per row; how far those lie
// from the core (second-level cache, third, memory) sets the cost of the
// walk. Shapes of equal row counts (a pipeline's first and last rows cost
// less), timed in turns, medians of 5; equal row sizes from different
// shapes show that the row's size, not the column count or the disparity
// count as such, moves the cost.
void RowSizes(double cyclesPerSecond) {
  struct Shape {
    int columns;
    int maxDisparity;  // from 0
  };
  const Shape shapes[] = {{450, 60}, {200, 175}, {1282, 60}, {450, 175}, {900, 175}, {1282, 175}};
  constexpr int kRows = 300;
  constexpr int kTurns = 5;
  std::vector<Scene> scenes;
  for (const Shape& s : shapes)
    scenes.push_back(Synthetic("", s.columns, kRows, 0, s.maxDisparity, 10));
  std::vector<std::vector<double>> perCell(scenes.size());
  for (int turn = 0; turn < kTurns; ++turn) {
    for (std::size_t i = 0; i < scenes.size(); ++i) {
      const Scene& scene = scenes[i];
      const FloatArray& image0 = *scene.image0;
      FloatArray result(image0.columns(), image0.rows(), 2);
      DispConfPlane plane(result);
      const double seconds =
          Seconds([&] { RunStreamed(image0, *scene.image1, scene.job, 1, plane); });
      perCell[i].push_back(seconds / (static_cast<double>(image0.rows()) * image0.columns() *
                                      (scene.job.MaxDisparity - scene.job.MinDisparity)));
    }
  }
  std::printf(
      "streamed job (SAD, 3 bands, 10 iterations) on one thread, %s, per cell of the volume\n"
      "against the row's size (medians of %d in turns; core clock %.2f GHz):\n",
      IsaPathName(ActiveIsaPath()), kTurns, cyclesPerSecond / 1e9);
  double first = 0.0;
  for (std::size_t i = 0; i < scenes.size(); ++i) {
    const double median = Median(perCell[i]);
    if (i == 0) first = median;
    const Scene& scene = scenes[i];
    const double rowKB = static_cast<double>(scene.image0->columns()) *
                         (scene.job.MaxDisparity - scene.job.MinDisparity) * sizeof(float) / 1024;
    std::printf("  %5d columns x %3d disparities: row %5.0f KB  %6.2f ns  %6.1f cycles  %.2fx\n",
                scene.image0->columns(), scene.job.MaxDisparity - scene.job.MinDisparity, rowKB,
                median * 1e9, median * cyclesPerSecond, median / first);
  }
}

}  // namespace
}  // namespace tavrel::bench

int main(int argc, char** argv) {
  using namespace tavrel::bench;
  bool full = false;
  bool huge = false;
  bool real = true;
  bool initialValues = false;
  bool correlation = false;
  bool rowSizes = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--l0") {
      initialValues = true;
    } else if (arg == "--full") {
      full = true;
    } else if (arg == "--huge") {
      huge = true;
    } else if (arg == "--no-real") {
      real = false;
    } else if (arg == "--correlation") {
      correlation = true;
    } else if (arg == "--row-sizes") {
      rowSizes = true;
    } else {
      std::fprintf(stderr,
                   "usage: tavrel-streamed-bench [--l0] [--full] [--huge] [--no-real] "
                   "[--correlation] [--row-sizes]\n");
      return 2;
    }
  }
  if (rowSizes) {
    RowSizes(CoreCyclesPerSecond());
    return 0;
  }
  std::vector<Scene> scenes;
  scenes.push_back(Synthetic("synthetic", 450, 375, -50, 10, 10));
  const std::filesystem::path teddy = std::filesystem::path(TAVREL_SHARED_DATA_DIR) / "teddy";
  if (real && std::filesystem::exists(teddy / "scene.cpd")) {
    Scene scene;
    if (LoadScene(teddy, scene)) {
      scenes.push_back(std::move(scene));
    } else {
      std::fprintf(stderr, "cannot load the scene in %s\n", teddy.c_str());
    }
  }
  if (full) scenes.push_back(Synthetic("full-size synthetic", 1282, 1110, 0, 175, 10));
  if (huge) {
    scenes.push_back(Synthetic("huge synthetic", 2880, 1988, 0, 290, 10));
    scenes.back().volumes = false;
  }
  if (full || huge) tavrel::bench::PrintMemoryBus();
  for (Scene& scene : scenes) {
    if (correlation) scene.job.Cost = tavrel::MatchCost::Correlation;
    RunScene(scene, initialValues);
  }
  return 0;
}
