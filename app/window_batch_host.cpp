#include "app/window_batch_host.h"

#include <exception>
#include <stdexcept>

#include "app/application.h"
#include "display/rendering.h"
#include "display/result_maps.h"
#include "imageio/image_loading.h"
#include "imageio/pixel_conversion.h"

namespace tavrel {

WindowBatchHost::WindowBatchHost(AppState& state, RunMonitor& monitor,
                                 const std::atomic<bool>* cancel)
    : state_(state), monitor_(monitor), cancel_(cancel) {}

std::unique_ptr<FloatArray> WindowBatchHost::LoadImage(int which, const std::string& path,
                                                       int bands) {
  if (bands <= 0) throw std::invalid_argument("bands must be positive");
  Surface picture = LoadImageSurface(path);
  auto grid = std::make_unique<FloatArray>(picture.width, picture.height, bands);
  // Bands that the conversion leaves unwritten (a band count of 2) read as 0.
  grid->Fill(0.0f);
  Surface2Array(picture, *grid);
  Surface& kept = state_.ImageSurfaces[which == 0 ? 0 : 1];
  kept = std::move(picture);
  if (which == 0) {
    state_.DisplayWidth = kept.width;
    state_.DisplayHeight = kept.height;
  }
  return grid;
}

void WindowBatchHost::EntryLoaded(const StereoJob& job, const FloatArray& /*image0*/) {
  // The image name is drawn at once and not kept as the caption: the entry's
  // disparity caption replaces it when the entry is done.
  state_.CaptionPending = 0;
  state_.Shown = ShownView::Image0;
  monitor_.ShowPicture(state_.ImageSurfaces[0], job.Image0Name);
}

void WindowBatchHost::Progress(const BatchProgress& progress) {
  if (cancel_ != nullptr && cancel_->load()) {
    cancelled_ = true;
    throw RunCancelled();
  }
  monitor_.ShowProgress(progress);
}

void WindowBatchHost::EntryDone(const StereoJob& /*job*/, const StereoMatcher& /*matcher*/,
                                const std::string& caption) {
  // The batch run works on the window's own matcher.
  StereoMatcher& matcher = state_.Matcher;
  if (matcher.DispConf() && matcher.DisplayMap()) {
    DisparityToDisplay(matcher);
    Array2Surface(*matcher.DisplayMap(), state_.ImageSurfaces[0]);
  }
  state_.Shown = ShownView::Disparity;
  state_.RedrawPending = 1;
  state_.CaptionText = caption;
  state_.CaptionPending = 1;
}

void WindowBatchHost::OutputNotWritten(const std::string& path) { unwritten_.push_back(path); }

void WindowBatchHost::FatalError(const std::string& message) {
  // The batch run reports the cancel it was stopped by as a failure; it is none.
  if (cancelled_) return;
  if (!fatal_message_) fatal_message_ = message;
}

RunOutcome RunDirectionsFile(const std::string& path, AppState& state, RunMonitor& monitor,
                             const std::atomic<bool>& cancel) {
  WindowBatchHost host(state, monitor, &cancel);
  bool completed = false;
  try {
    completed = ProcessDirectionsFile(path, state.Matcher, state.ImageArrays, host);
  } catch (const std::exception& error) {
    host.FatalError(error.what());
  }
  RunOutcome outcome;
  outcome.unwritten = host.unwritten();
  if (host.fatal_message()) {
    outcome.kind = RunOutcome::Kind::Failed;
    outcome.fatal_message = *host.fatal_message();
  } else if (host.cancelled()) {
    // A job stopped half-way leaves the matcher empty; the last entry's
    // images stay on show.
    outcome.kind = RunOutcome::Kind::Cancelled;
  } else if (!completed) {
    outcome.kind = RunOutcome::Kind::Failed;
    outcome.fatal_message = "Couldn't open " + path;
  }
  return outcome;
}

std::optional<std::string> RunDirectionsFile(const std::string& path, AppState& state,
                                             RunMonitor& monitor) {
  const std::atomic<bool> never(false);
  RunOutcome outcome = RunDirectionsFile(path, state, monitor, never);
  if (outcome.kind == RunOutcome::Kind::Completed) return std::nullopt;
  return outcome.fatal_message;
}

std::string OutputNotWrittenMessage(const std::string& path) { return OutputNotWrittenText(path); }

}  // namespace tavrel
