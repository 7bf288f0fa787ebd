#include "python/job_control.h"

#ifdef _OPENMP
#include <omp.h>
#endif

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "python/python_errors.h"

namespace tavrel::python {
namespace {

namespace py = pybind11;

const char* StageName(JobStage stage) {
  switch (stage) {
    case JobStage::InitialMatchValues:
      return "L0";
    case JobStage::Iteration:
      return "iteration";
    case JobStage::Extraction:
      break;
  }
  return "extraction";
}

// Bytes the kernel could give without swapping; none when /proc/meminfo
// cannot be read.
std::optional<double> AvailableMemory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  double kilobytes = 0;
  std::string unit;
  while (meminfo >> key >> kilobytes >> unit) {
    if (key == "MemAvailable:") return kilobytes * 1024;
  }
  return std::nullopt;
}

}  // namespace

void ProgressRelay::Report(const char* stage, int step, int steps) {
  py::gil_scoped_acquire held;
  try {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (!callback_.is_none()) callback_(stage, step, steps);
  } catch (...) {
    pending_ = std::current_exception();
    throw PythonErrorPending{};
  }
}

JobProgress ProgressRelay::ForJob() {
  return [this](JobStage stage, int step, int steps) { Report(StageName(stage), step, steps); };
}

void ProgressRelay::RaisePending() {
  std::exception_ptr pending = std::move(pending_);
  std::rethrow_exception(pending);
}

ThreadShare::ThreadShare(std::optional<int> threads) {
#ifdef _OPENMP
  previous_ = omp_get_max_threads();
  // More threads than cores would only take turns on them, and a count in
  // the millions would exhaust the system's threads and end the process.
  if (threads) omp_set_num_threads(std::min(*threads, std::max(omp_get_num_procs(), 1)));
#else
  (void)threads;
#endif
}

ThreadShare::~ThreadShare() {
#ifdef _OPENMP
  omp_set_num_threads(previous_);
#endif
}

void CheckThreads(std::optional<int> threads) {
  if (threads && *threads < 1) {
    throw py::value_error("threads must be 1 or more, not " + std::to_string(*threads));
  }
}

std::string VolumeMessage(int rows, int columns, std::int64_t disparities) {
  std::ostringstream message;
  message << "Not enough memory for a match volume of " << rows << " x " << columns << " x "
          << disparities;
  return message.str();
}

void RequireMemoryForJob(int rows, int columns, std::int64_t disparities) {
  // The batch run's estimate of a job's peak: L0 and Ln, and per pixel the
  // result maps and the scratch planes of the stages.
  constexpr double kFloatsPerPixelBesideVolumes = 24;
  const double needed = static_cast<double>(rows) * columns *
                        (2.0 * static_cast<double>(disparities) + kFloatsPerPixelBesideVolumes) *
                        sizeof(float);
  const auto available = AvailableMemory();
  if (available && needed > *available) {
    throw OutOfMemory(VolumeMessage(rows, columns, disparities));
  }
}

}  // namespace tavrel::python
