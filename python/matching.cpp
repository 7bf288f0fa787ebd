#include "python/matching.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <new>
#include <string>
#include <tuple>

#include "engine/job_memory.h"
#include "engine/streamed_engine.h"
#include "python/job_control.h"
#include "python/python_errors.h"

namespace tavrel::python {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;

MatchParameters Parameters(int minDisparity, int maxDisparity, int winRadL0, int winRadRC,
                           int winRadD, int iterations, float maxScaler, bool useSad,
                           std::optional<int> threads, py::object progress,
                           const std::string& channelOrder) {
  if (iterations < 0) {
    throw py::value_error("iterations must be 0 or more, not " + std::to_string(iterations));
  }
  CheckThreads(threads);
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    throw WrongType("progress must be callable or None");
  }
  return MatchParameters{minDisparity,
                         maxDisparity,
                         winRadL0,
                         winRadRC,
                         winRadD,
                         iterations,
                         maxScaler,
                         useSad,
                         threads,
                         std::move(progress),
                         ParseChannelOrder(channelOrder)};
}

// The keywords shared by match and Matcher, with the directions file's usual values.
auto JobArguments() {
  return std::make_tuple(py::arg("left"), py::arg("right"), py::kw_only(), py::arg("min_disparity"),
                         py::arg("max_disparity"), py::arg("win_rad_l0") = 1,
                         py::arg("win_rad_rc") = 2, py::arg("win_rad_d") = 1,
                         py::arg("iterations") = 10, py::arg("max_scaler") = 0.96,
                         py::arg("use_sad") = true, py::arg("threads") = py::none(),
                         py::arg("progress") = py::none(), py::arg("channel_order") = "bgr");
}

// Takes the matcher's lock without holding the GIL meanwhile: the thread that
// holds the lock may need the GIL to report progress.
std::unique_lock<std::mutex> Lock(Matcher& matcher) {
  std::unique_lock<std::mutex> lock(matcher.busy, std::defer_lock);
  py::gil_scoped_release released;
  lock.lock();
  return lock;
}

MatchResult ResultOf(const StereoMatcher& engine) {
  return MatchResult{BandCopy(*engine.DispConf(), 0), BandCopy(*engine.DispConf(), 1),
                     py::int_(engine.IterationCount())};
}

// A read-only view of a volume, (rows, columns, disparities), whose base is
// the Matcher object, so the Matcher lives as long as any view of it.
py::array VolumeView(py::object self, const FloatArray* volume) {
  if (!volume) throw std::logic_error("the matcher holds no volumes");
  const FloatArray& v = *volume;
  const auto itemSize = static_cast<py::ssize_t>(sizeof(float));
  py::array view(py::dtype::of<float>(), {v.rows(), v.columns(), v.bands()},
                 {itemSize * v.columns() * v.bands(), itemSize * v.bands(), itemSize}, v.data(),
                 self);
  view.attr("setflags")("write"_a = false);
  return view;
}

void Iterate(Matcher& matcher, int n, std::optional<int> threads, py::object progress) {
  if (n < 0) throw py::value_error("n must be 0 or more, not " + std::to_string(n));
  CheckThreads(threads);
  auto lock = Lock(matcher);
  StereoMatcher& engine = matcher.engine;
  ProgressRelay relay(std::move(progress));
  relay.Run([&] {
    ThreadShare share(threads);
    // An interrupted series still ends with an extraction, so that the maps
    // always belong to the iterations the volumes hold.
    auto extract = [&] { engine.ExtractDispConf(); };
    try {
      engine.RunIterations(n, relay.ForJob());
      relay.Report("extraction", 1, 1);
    } catch (const PythonErrorPending&) {
      extract();
      throw;
    }
    extract();
  });
}

const char* kMatchDoc =
    "Disparity and confidence of image `left` (image 0) against `right` (image 1).\n\n"
    "Images: float32 (rows, columns, bands), band 0 blue as load_image gives them, or uint8\n"
    "(rows, columns) / (rows, columns, 3) in `channel_order` (\"bgr\" or \"rgb\"). A larger\n"
    "right image contributes its top-left part. Pixel (r, c) of left matches pixel\n"
    "(r, c + disparity) of right, disparities from min_disparity to max_disparity.\n"
    "`progress(stage, step, steps)` is called with stage \"L0\", \"iteration\" or\n"
    "\"extraction\"; `threads` limits the cores used (None: all). Returns a MatchResult.";

// The engine's record of the job.
StereoParams ParamsOf(const MatchParameters& p) {
  StereoParams params;
  params.MinDisparity = p.minDisparity;
  params.MaxDisparity = p.maxDisparity;
  params.WinRadL0 = p.winRadL0;
  params.WinRadRC = p.winRadRC;
  params.WinRadD = p.winRadD;
  params.NumIterations = p.iterations;
  params.MaxScaler = p.maxScaler;
  params.Cost = p.useSad ? MatchCost::Sad : MatchCost::Correlation;
  return params;
}

}  // namespace

namespace {

struct JobImages {
  std::unique_ptr<FloatArray> image0;
  std::unique_ptr<FloatArray> image1;
};

// The images as the engine takes them, image 1 over image 0's size; refuses
// what the engine cannot use (ValueError, TypeError).
JobImages ImagesFor(const py::handle& left, const py::handle& right, const MatchParameters& p) {
  JobImages images{GridFromImage(left, "image 0", p.channelOrder),
                   GridFromImage(right, "image 1", p.channelOrder)};
  const FloatArray& image0 = *images.image0;
  ValidateJob(image0, *images.image1, ParamsOf(p));
  if (images.image1->rows() != image0.rows() || images.image1->columns() != image0.columns()) {
    images.image1 =
        GridFromImage(right, "image 1", p.channelOrder, image0.rows(), image0.columns());
  }
  return images;
}

std::int64_t Disparities(const MatchParameters& p) {
  return std::int64_t{p.maxDisparity} - p.minDisparity;
}

// Runs `work` on the images with the GIL released, once the job has been
// found to fit into memory by `peakBytes` (the library's estimate, taken with
// the job's thread count in force).
template <typename PeakBytes, typename Work>
void RunChecked(const py::handle& left, const py::handle& right, const MatchParameters& p,
                PeakBytes&& peakBytes, Work&& work) {
  RequireIsaPath();
  const JobImages images = ImagesFor(left, right, p);
  const FloatArray& image0 = *images.image0;
  ThreadShare share(p.threads);
  RequireMemoryForJob(image0.rows(), image0.columns(), Disparities(p),
                      peakBytes(image0, *images.image1));
  ProgressRelay relay(p.progress);
  relay.Run([&] {
    try {
      work(*images.image0, *images.image1, relay.ForJob());
    } catch (const std::bad_alloc&) {
      throw OutOfMemory(VolumeMessage(image0.rows(), image0.columns(), Disparities(p)));
    }
  });
}

}  // namespace

void RunJob(StereoMatcher& matcher, const py::handle& left, const py::handle& right,
            const MatchParameters& p) {
  auto peakBytes = [&](const FloatArray& image0, const FloatArray& image1) {
    return JobPeakBytes(MemoryShapeOf(image0, image1, ParamsOf(p)), EngineThreads());
  };
  RunChecked(left, right, p, peakBytes,
             [&](const FloatArray& image0, const FloatArray& image1, const JobProgress& progress) {
               matcher.Run(image0, image1, ParamsOf(p), progress);
             });
}

void RunResultsOnly(StereoMatcher& matcher, const py::handle& left, const py::handle& right,
                    const MatchParameters& p) {
  const StereoParams params = ParamsOf(p);
  auto peakBytes = [&](const FloatArray& image0, const FloatArray& image1) {
    return JobPeakBytes(image0, image1, params, EngineThreads());
  };
  RunChecked(left, right, p, peakBytes,
             [&](const FloatArray& image0, const FloatArray& image1, const JobProgress& progress) {
               RunMatcherJob(matcher, image0, image1, params, EngineThreads(), progress);
             });
}

void BindMatching(py::module_& m) {
  py::class_<MatchResult>(m, "MatchResult",
                          "Disparity and confidence maps, float32 (rows, columns), in the "
                          "programs' sign.")
      .def(py::init([](py::object disparity, py::object confidence, py::object iterations) {
             return MatchResult{disparity, confidence, iterations};
           }),
           py::arg("disparity"), py::arg("confidence"), py::arg("iterations") = py::none())
      .def_readwrite("disparity", &MatchResult::disparity)
      .def_readwrite("confidence", &MatchResult::confidence)
      .def_readwrite("iterations", &MatchResult::iterations,
                     "Iterations the maps result from; None when not known.")
      .def("__repr__", [](const MatchResult& r) {
        return "<tavrel.MatchResult " + std::to_string(r.disparity.shape(0)) + " x " +
               std::to_string(r.disparity.shape(1)) +
               ", iterations=" + py::repr(r.iterations).cast<std::string>() + ">";
      });

  auto match = [](const py::object& left, const py::object& right, int minDisparity,
                  int maxDisparity, int winRadL0, int winRadRC, int winRadD, int iterations,
                  float maxScaler, bool useSad, std::optional<int> threads, py::object progress,
                  const std::string& channelOrder) {
    const MatchParameters p =
        Parameters(minDisparity, maxDisparity, winRadL0, winRadRC, winRadD, iterations, maxScaler,
                   useSad, threads, std::move(progress), channelOrder);
    StereoMatcher matcher;
    RunResultsOnly(matcher, left, right, p);
    return ResultOf(matcher);
  };
  std::apply([&](auto&&... arguments) { m.def("match", match, kMatchDoc, arguments...); },
             JobArguments());

  py::class_<Matcher> matcher(m, "Matcher",
                              "Runs the same job as match and keeps the match volumes.");
  auto construct = [](const py::object& left, const py::object& right, int minDisparity,
                      int maxDisparity, int winRadL0, int winRadRC, int winRadD, int iterations,
                      float maxScaler, bool useSad, std::optional<int> threads, py::object progress,
                      const std::string& channelOrder) {
    const MatchParameters p =
        Parameters(minDisparity, maxDisparity, winRadL0, winRadRC, winRadD, iterations, maxScaler,
                   useSad, threads, std::move(progress), channelOrder);
    auto result = std::make_unique<Matcher>();
    RunJob(result->engine, left, right, p);
    return result;
  };
  std::apply([&](auto&&... arguments) { matcher.def(py::init(construct), arguments...); },
             JobArguments());
  matcher
      .def("iterate", &Iterate, py::arg("n") = 1, py::kw_only(), py::arg("threads") = py::none(),
           py::arg("progress") = py::none(),
           "Runs n more iterations, then extracts disparity and confidence again.")
      .def_property_readonly(
          "l0", [](py::object self) { return VolumeView(self, self.cast<Matcher&>().engine.L0()); },
          "Initial match values, float32 (rows, columns, disparities), read-only, no copy.")
      .def_property_readonly(
          "ln", [](py::object self) { return VolumeView(self, self.cast<Matcher&>().engine.Ln()); },
          "Current match values, float32 (rows, columns, disparities), read-only, no copy; "
          "iterate changes them in place.")
      .def_property_readonly(
          "disparity",
          [](Matcher& self) {
            auto lock = Lock(self);
            return BandCopy(*self.engine.DispConf(), 0);
          },
          "float32 (rows, columns), a copy.")
      .def_property_readonly(
          "confidence",
          [](Matcher& self) {
            auto lock = Lock(self);
            return BandCopy(*self.engine.DispConf(), 1);
          },
          "float32 (rows, columns), a copy.")
      .def_property_readonly("iteration_count",
                             [](Matcher& self) {
                               auto lock = Lock(self);
                               return self.engine.IterationCount();
                             })
      .def_property_readonly("min_disparity",
                             [](const Matcher& self) { return self.engine.MinDisparity(); })
      .def_property_readonly("max_disparity",
                             [](const Matcher& self) { return self.engine.MaxDisparity(); })
      .def(
          "result",
          [](Matcher& self) {
            auto lock = Lock(self);
            return ResultOf(self.engine);
          },
          "The current maps as a MatchResult (copies).");
}

}  // namespace tavrel::python
