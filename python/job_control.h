#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "engine/stereo_matcher.h"

namespace tavrel::python {

// Carries a Python error (KeyboardInterrupt from Ctrl-C, or whatever the
// progress callback raised) out of the library's computation. It is not a
// std::exception, so the library's handlers that turn failures into messages
// let it through, while its cleanup (catch (...) and rethrow) still runs.
struct PythonErrorPending {};

// The link between a computation that runs without the GIL and the Python
// caller: between stages and iterations it takes the GIL, lets Python handle
// pending signals (Ctrl-C) and calls the progress callback. A Python error
// there stops the computation, and Run raises it once the GIL is back.
class ProgressRelay {
 public:
  explicit ProgressRelay(pybind11::object callback) : callback_(std::move(callback)) {}

  // From the computing thread, without the GIL. Throws PythonErrorPending.
  void Report(const char* stage, int step, int steps);

  // From the computing thread, without the GIL: warnings.warn(message,
  // TavrelWarning). Throws PythonErrorPending when the warning was made an error.
  void Warn(const std::string& message);

  // A JobProgress for StereoMatcher that reports through Report.
  JobProgress ForJob();

  // Runs `work` without the GIL and, with the GIL back, raises the Python
  // error that stopped it, if any.
  template <typename Work>
  void Run(Work&& work) {
    try {
      pybind11::gil_scoped_release released;
      work();
    } catch (const PythonErrorPending&) {
      RaisePending();
    }
  }

 private:
  [[noreturn]] void RaisePending();

  pybind11::object callback_;
  std::exception_ptr pending_;
};

// How many threads the engine's parallel stages use while this lives, for the
// calling thread only (other Python threads keep their own count); none, or
// more than the cores: all cores. Threads change the speed, never the results.
class ThreadShare {
 public:
  explicit ThreadShare(std::optional<int> threads);
  ~ThreadShare();
  ThreadShare(const ThreadShare&) = delete;
  ThreadShare& operator=(const ThreadShare&) = delete;

 private:
  int previous_ = 0;
};

// Throws ValueError unless threads is none or at least 1.
void CheckThreads(std::optional<int> threads);

// The refusal of a job too large for memory, in the batch run's words ("Not
// enough memory for a match volume of R x C x D").
std::string VolumeMessage(int rows, int columns, std::int64_t disparities);

// Throws OutOfMemory before any work when `needed` bytes (the library's
// estimate of the job's peak) exceed what the process can still have; Linux
// would otherwise grant the memory and stop the process when its pages are
// first touched. Also refuses a range no volume index can span.
void RequireMemoryForJob(int rows, int columns, std::int64_t disparities, double needed);

// The instruction-set path the engine runs on; throws IsaPathError (a
// ValueError in Python) when TAVREL_ISA names one that does not exist or
// that this processor cannot run.
void RequireIsaPath();

}  // namespace tavrel::python
