#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "files/batch_run.h"

namespace tavrel {

// What the window shows while a directions file runs. The calls come from the
// thread that runs the file, so an implementation takes copies and hands them
// to the window's thread.
class RunMonitor {
 public:
  virtual ~RunMonitor() = default;

  // An entry's images are loaded: fit the client area to the picture and show
  // it with its caption (image 0 and its file name).
  virtual void ShowPicture(const Surface& picture, const std::string& caption) = 0;

  virtual void ShowProgress(const BatchProgress& progress) = 0;
};

// Thrown from the progress report once a cancel was asked for, so that the run
// stops at the next stage or iteration boundary. Entries already written stay.
class RunCancelled : public std::runtime_error {
 public:
  RunCancelled() : std::runtime_error("The run was cancelled") {}
};

// The batch run's host inside the window: loads each entry's images into the
// application state (surface 0 becoming the drawing surface), renders each
// finished entry's disparity map into it and leaves the caption pending, so
// that the view update after the run presents it. A fatal error is kept, not
// shown: it is reported on the window's thread once the run has returned.
class WindowBatchHost : public BatchHost {
 public:
  // `cancel` may be set from any thread while the run goes on.
  WindowBatchHost(AppState& state, RunMonitor& monitor, const std::atomic<bool>* cancel = nullptr);

  std::unique_ptr<FloatArray> LoadImage(int which, const std::string& path, int bands) override;
  void EntryLoaded(const StereoJob& job, const FloatArray& image0) override;
  void Progress(const BatchProgress& progress) override;
  void EntryDone(const StereoJob& job, const StereoMatcher& matcher,
                 const std::string& caption) override;
  void OutputNotWritten(const std::string& path) override;
  void FatalError(const std::string& message) override;

  const std::optional<std::string>& fatal_message() const { return fatal_message_; }
  const std::vector<std::string>& unwritten() const { return unwritten_; }
  bool cancelled() const { return cancelled_; }

 private:
  AppState& state_;
  RunMonitor& monitor_;
  const std::atomic<bool>* cancel_;
  bool cancelled_ = false;
  std::optional<std::string> fatal_message_;
  std::vector<std::string> unwritten_;
};

// How a directions file run in the window ended.
struct RunOutcome {
  enum class Kind { Completed, Failed, Cancelled };
  Kind kind = Kind::Completed;
  std::string fatal_message;           // for Failed
  std::vector<std::string> unwritten;  // output files that could not be written
};

// Runs the directions file at `path` into the state through a WindowBatchHost
// that stops the run once `cancel` is set. An exception escaping the run
// (memory exhausted, an engine refusal) becomes the fatal message; a failure
// reported before the cancel still counts as a failure.
RunOutcome RunDirectionsFile(const std::string& path, AppState& state, RunMonitor& monitor,
                             const std::atomic<bool>& cancel);

// "Could not write NAME", the box shown after a run for each output file lost.
std::string OutputNotWrittenMessage(const std::string& path);

// Runs the directions file at `path` into the state through a WindowBatchHost.
// An exception escaping the run (memory exhausted, an engine refusal) becomes
// the fatal message. Returns the fatal message, or nothing when every entry ran.
std::optional<std::string> RunDirectionsFile(const std::string& path, AppState& state,
                                             RunMonitor& monitor);

}  // namespace tavrel
