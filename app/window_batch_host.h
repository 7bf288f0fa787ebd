#pragma once

#include <memory>
#include <optional>
#include <string>

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

// The batch run's host inside the window: loads each entry's images into the
// application state (surface 0 becoming the drawing surface), renders each
// finished entry's disparity map into it and leaves the caption pending, so
// that the view update after the run presents it. A fatal error is kept, not
// shown: it is reported on the window's thread once the run has returned.
class WindowBatchHost : public BatchHost {
 public:
  WindowBatchHost(AppState& state, RunMonitor& monitor);

  std::unique_ptr<FloatArray> LoadImage(int which, const std::string& path, int bands) override;
  void EntryLoaded(const StereoJob& job, const FloatArray& image0) override;
  void Progress(const BatchProgress& progress) override;
  void EntryDone(const StereoJob& job, const StereoMatcher& matcher,
                 const std::string& caption) override;
  void FatalError(const std::string& message) override;

  const std::optional<std::string>& fatal_message() const { return fatal_message_; }

 private:
  AppState& state_;
  RunMonitor& monitor_;
  std::optional<std::string> fatal_message_;
};

// Runs the directions file at `path` into the state through a WindowBatchHost.
// An exception escaping the run (memory exhausted, an engine refusal) becomes
// the fatal message. Returns the fatal message, or nothing when every entry ran.
std::optional<std::string> RunDirectionsFile(const std::string& path, AppState& state,
                                             RunMonitor& monitor);

}  // namespace tavrel
