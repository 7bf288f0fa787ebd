// The file functions: images, directions files and their batch run, output
// files and PFM maps, as the programs read and write them.

#include "python/files_api.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "files/batch_run.h"
#include "files/directions_reader.h"
#include "files/output_file.h"
#include "files/pfm_writing.h"
#include "imageio/image_loading.h"
#include "imageio/pfm_file.h"
#include "python/image_arrays.h"
#include "python/job_control.h"
#include "python/matching.h"
#include "python/python_errors.h"

namespace tavrel::python {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;

py::array_t<float> LoadImage(const std::string& path, int bands) {
  if (bands != 1 && bands != 3) {
    throw py::value_error("bands must be 1 or 3, not " + std::to_string(bands));
  }
  const std::string refusal = "Couldn't open image - " + path;
  RequireExisting(path, refusal);
  std::unique_ptr<FloatArray> grid;
  {
    py::gil_scoped_release released;
    try {
      grid = LoadImageGrid(path, bands);
    } catch (const std::bad_alloc&) {
      throw OutOfMemory(refusal);
    } catch (const std::exception& failure) {
      throw py::value_error(refusal + "\n" + failure.what());
    }
  }
  if (!grid) throw py::value_error(refusal);
  return ArrayOwningGrid(std::move(grid), BandAxis::Keep);
}

std::vector<StereoJob> ReadDirections(const std::string& path) {
  const std::string refusal = "Couldn't open " + path;
  RequireExisting(path, refusal);
  std::error_code error;
  std::ifstream in;
  if (!std::filesystem::is_directory(path, error)) in.open(path);
  if (!in.is_open()) throw FileFailure(refusal);
  DirectionsReader reader(in, path);
  std::vector<StereoJob> jobs;
  StereoJob job;
  try {
    while (reader.Next(job)) {
      reader.CheckValues(job);
      jobs.push_back(job);
    }
  } catch (const DirectionsError& failure) {
    // The first line is the one scripts match; the place follows it.
    const std::string detail = failure.Detail();
    throw py::value_error(detail.empty() ? failure.what() : failure.what() + ("\n" + detail));
  }
  return jobs;
}

const char* BatchStageName(BatchStage stage) {
  switch (stage) {
    case BatchStage::Loading:
      return "entry";
    case BatchStage::InitialMatchValues:
      return "L0";
    case BatchStage::Iteration:
      return "iteration";
    case BatchStage::Extraction:
      return "extraction";
    case BatchStage::Writing:
      break;
  }
  return "writing";
}

// The batch run's host for Python: images from the files, progress to the
// callback, and the outcome kept for the caller to return or raise.
class PythonBatchHost : public BatchHost {
 public:
  explicit PythonBatchHost(ProgressRelay& relay) : relay_(relay) {}

  std::unique_ptr<FloatArray> LoadImage(int /*which*/, const std::string& path,
                                        int bands) override {
    failedImage_.clear();
    try {
      auto grid = LoadImageGrid(path, bands);
      if (!grid) failedImage_ = path;
      return grid;
    } catch (...) {
      failedImage_ = path;
      throw;
    }
  }

  // An entry starts: ("entry", entry, entries); then its stages.
  void Progress(const BatchProgress& p) override {
    if (p.stage == BatchStage::Loading) {
      relay_.Report(BatchStageName(p.stage), p.entry, p.entries);
    } else {
      relay_.Report(BatchStageName(p.stage), p.step, p.steps);
    }
  }

  void EntryDone(const StereoJob& /*job*/, const StereoMatcher& matcher,
                 const std::string& /*caption*/) override {
    written_.push_back(matcher.OutputFileName);
  }

  void OutputNotWritten(const std::string& path) override { lost_.push_back(path); }

  void Warning(const std::string& message) override { relay_.Warn(message); }

  // Only the files are wanted: each job runs as one streamed pass, the
  // batch program's way, in bounded memory.
  bool KeepsVolumes() const override { return false; }

  void FatalError(const std::string& message) override { fatal_ = message; }

  // With the GIL: the files written, or the failure raised as its kind.
  std::vector<std::string> Outcome() const {
    if (fatal_) {
      // A missing image is told from one that cannot be decoded, and a job
      // too large for memory by the batch run's one text for it: the host
      // hears every fatal failure as a message alone.
      std::error_code error;
      if (!failedImage_.empty() &&
          !std::filesystem::exists(std::filesystem::symlink_status(failedImage_, error))) {
        throw FileMissing(*fatal_);
      }
      if (fatal_->rfind("Not enough memory", 0) == 0) throw OutOfMemory(*fatal_);
      throw py::value_error(*fatal_);
    }
    if (!lost_.empty()) {
      std::string message;
      for (const std::string& path : lost_) {
        if (!message.empty()) message += '\n';
        message += "could not write ";
        message += path;
      }
      throw FileFailure(message);
    }
    return written_;
  }

 private:
  ProgressRelay& relay_;
  std::string failedImage_;
  std::optional<std::string> fatal_;
  std::vector<std::string> written_;
  std::vector<std::string> lost_;
};

std::vector<std::string> RunDirections(const std::string& path, py::object progress,
                                       std::optional<int> threads) {
  CheckThreads(threads);
  RequireIsaPath();
  RequireExisting(path, "Couldn't open " + path);
  ProgressRelay relay(std::move(progress));
  PythonBatchHost host(relay);
  relay.Run([&] {
    ThreadShare share(threads);
    StereoMatcher matcher;
    EntryImages images;
    ProcessDirectionsFile(path, matcher, images, host);
  });
  return host.Outcome();
}

// The output file of maps made elsewhere.
void WriteMaps(const std::string& path, const py::handle& disparity, const py::handle& confidence) {
  const auto disparityGrid = GridFromMap(disparity, "disparity");
  const auto confidenceGrid = GridFromMap(confidence, "confidence");
  if (disparityGrid->rows() != confidenceGrid->rows() ||
      disparityGrid->columns() != confidenceGrid->columns()) {
    throw py::value_error("disparity and confidence must have the same shape");
  }
  FloatArray maps(disparityGrid->columns(), disparityGrid->rows(), 2);
  for (int r = 0; r < maps.rows(); ++r) {
    for (int c = 0; c < maps.columns(); ++c) {
      maps.At(r, c, 0) = disparityGrid->At(r, c, 0);
      maps.At(r, c, 1) = confidenceGrid->At(r, c, 0);
    }
  }
  bool written = false;
  {
    py::gil_scoped_release released;
    written = WriteOutputFile(maps, path);
  }
  if (!written) throw FileFailure("could not write " + path);
}

void WriteMatcher(const std::string& path, Matcher& matcher) {
  bool written = false;
  {
    py::gil_scoped_release released;
    std::lock_guard<std::mutex> lock(matcher.busy);
    written = WriteOutputFile(matcher.engine, path);
  }
  if (!written) throw FileFailure("could not write " + path);
}

MatchResult ReadOutput(const std::string& path) {
  RequireExisting(path, "cannot open " + path);
  std::unique_ptr<FloatArray> grid;
  {
    py::gil_scoped_release released;
    try {
      grid = ReadOutputFile(path);
    } catch (const OutputFileError& failure) {
      throw py::value_error(failure.what());
    } catch (const std::bad_alloc&) {
      throw OutOfMemory(path + " is too large to read");
    }
  }
  return MatchResult{BandCopy(*grid, 0), BandCopy(*grid, 1), py::none()};
}

py::array_t<float> ReadPfmMap(const std::string& path) {
  RequireExisting(path, "cannot read " + path);
  auto grid = ReadPfm(path);
  if (!grid) throw py::value_error("cannot read " + path + " as a grey PFM file");
  return ArrayOwningGrid(std::move(grid), BandAxis::Drop);
}

void WritePfmMap(const std::string& path, const py::handle& map) {
  const auto grid = GridFromMap(map, "the map");
  if (!WritePfm(*grid, 0, path)) throw FileFailure("could not write " + path);
}

py::dict Keywords(const StereoJob& job) {
  const StereoParams& p = job.Params;
  return py::dict("min_disparity"_a = p.MinDisparity, "max_disparity"_a = p.MaxDisparity,
                  "win_rad_l0"_a = p.WinRadL0, "win_rad_rc"_a = p.WinRadRC,
                  "win_rad_d"_a = p.WinRadD, "iterations"_a = p.NumIterations,
                  "max_scaler"_a = p.MaxScaler, "use_sad"_a = p.Cost == MatchCost::Sad);
}

// A field of the job's parameter record as a read-write property.
template <typename T, T StereoParams::*Field>
void ParamProperty(py::class_<StereoJob>& job, const char* name) {
  job.def_property(
      name, [](const StereoJob& j) { return j.Params.*Field; },
      [](StereoJob& j, T value) { j.Params.*Field = value; });
}

void BindJob(py::module_& m) {
  py::class_<StereoJob> job(m, "Job",
                            "One entry of a directions file; names as written in the file, "
                            "taken relative to its folder.");
  job.def(py::init<>())
      .def_readwrite("image0", &StereoJob::Image0Name)
      .def_readwrite("image1", &StereoJob::Image1Name)
      .def_readwrite("bands", &StereoJob::NumBands);
  ParamProperty<int, &StereoParams::MinDisparity>(job, "min_disparity");
  ParamProperty<int, &StereoParams::MaxDisparity>(job, "max_disparity");
  ParamProperty<int, &StereoParams::WinRadL0>(job, "win_rad_l0");
  ParamProperty<int, &StereoParams::WinRadRC>(job, "win_rad_rc");
  ParamProperty<int, &StereoParams::WinRadD>(job, "win_rad_d");
  ParamProperty<int, &StereoParams::NumIterations>(job, "iterations");
  ParamProperty<float, &StereoParams::MaxScaler>(job, "max_scaler");
  job.def_property(
         "use_sad", [](const StereoJob& j) { return j.Params.Cost == MatchCost::Sad; },
         [](StereoJob& j, bool useSad) {
           j.Params.Cost = useSad ? MatchCost::Sad : MatchCost::Correlation;
         })
      .def_readwrite("output_file", &StereoJob::OutputFileName)
      .def("keywords", &Keywords, "match's keywords for this entry, as a dict.")
      .def("__repr__", [](const StereoJob& job) {
        return "<tavrel.Job " + job.Image0Name + " " + job.Image1Name + " -> " +
               job.OutputFileName + " " + py::repr(Keywords(job)).cast<std::string>() + ">";
      });
}

}  // namespace

void BindFiles(py::module_& m) {
  BindJob(m);
  m.def("load_image", &LoadImage, py::arg("path"), py::arg("bands") = 3,
        "An image file (BMP, PNG, PPM, PGM) as float32 (rows, columns, bands), exactly as the "
        "programs compute on it: band 0 blue, 1 green, 2 red; with bands=1 the blue byte.");
  m.def("read_directions", &ReadDirections, py::arg("path"),
        "The entries of a directions file, as a list of Job.");
  m.def("run_directions", &RunDirections, py::arg("path"), py::kw_only(),
        py::arg("progress") = py::none(), py::arg("threads") = py::none(),
        "Runs every entry of a directions file and writes the same files as tavrel-batch; "
        "returns the output files' paths. progress(stage, step, steps) gets (\"entry\", i, n) "
        "as each entry starts, then \"L0\", \"iteration\", \"extraction\" and \"writing\".");
  m.def("write_output", &WriteMatcher, py::arg("path"), py::arg("result"),
        "Writes an output file (\"columns rows\", then \"disparity confidence\" per pixel).");
  m.def(
      "write_output",
      [](const std::string& path, const MatchResult& result) {
        WriteMaps(path, result.disparity, result.confidence);
      },
      py::arg("path"), py::arg("result"));
  m.def("write_output", &WriteMaps, py::arg("path"), py::arg("disparity"), py::arg("confidence"));
  m.def("read_output", &ReadOutput, py::arg("path"),
        "Reads an output file into a MatchResult (iterations None).");
  m.def("read_pfm", &ReadPfmMap, py::arg("path"),
        "A grey PFM file as float32 (rows, columns), row 0 at the top.");
  m.def("write_pfm", &WritePfmMap, py::arg("path"), py::arg("map"),
        "Writes a (rows, columns) map as a grey PFM file (bottom row first, little endian).");
}

}  // namespace tavrel::python
