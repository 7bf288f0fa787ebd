#include "python/job_control.h"

#ifdef _OPENMP
#include <omp.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

#include "engine/isa_path.h"
#include "files/memory_limit.h"
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

// Whole MiB, rounded up, as the batch run states them.
std::string MiB(double bytes) {
  std::ostringstream text;
  text << static_cast<std::uint64_t>(std::ceil(bytes / (1024.0 * 1024.0))) << " MiB";
  return text.str();
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

void ProgressRelay::Warn(const std::string& message) {
  py::gil_scoped_acquire held;
  if (PyErr_WarnEx(WarningCategory(), message.c_str(), 1) != 0) {
    pending_ = std::make_exception_ptr(py::error_already_set());
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

void RequireMemoryForJob(int rows, int columns, std::int64_t disparities, double needed) {
  if (disparities > std::numeric_limits<int>::max()) {
    throw OutOfMemory(VolumeMessage(rows, columns, disparities));
  }
  const auto available = AvailableMemory();
  if (available && needed > static_cast<double>(*available)) {
    throw OutOfMemory(VolumeMessage(rows, columns, disparities) + "\nthe job needs about " +
                      MiB(needed) + ", and " + MiB(static_cast<double>(*available)) +
                      " are available");
  }
}

void RequireIsaPath() { ActiveIsaPath(); }

}  // namespace tavrel::python
