#include "app/window_batch_host.h"

#include <exception>
#include <stdexcept>

#include "display/image_loading.h"
#include "display/rendering.h"

namespace tavrel {

WindowBatchHost::WindowBatchHost(AppState& state, RunMonitor& monitor)
    : state_(state), monitor_(monitor) {}

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
  monitor_.ShowPicture(state_.ImageSurfaces[0], job.Image0Name);
}

void WindowBatchHost::Progress(const BatchProgress& progress) { monitor_.ShowProgress(progress); }

void WindowBatchHost::EntryDone(const StereoJob& /*job*/, const StereoMatcher& matcher,
                                const std::string& caption) {
  if (matcher.DisplayMap) Array2Surface(*matcher.DisplayMap, state_.ImageSurfaces[0]);
  state_.RedrawPending = 1;
  state_.CaptionText = caption;
  state_.CaptionPending = 1;
}

void WindowBatchHost::FatalError(const std::string& message) {
  if (!fatal_message_) fatal_message_ = message;
}

std::optional<std::string> RunDirectionsFile(const std::string& path, AppState& state,
                                             RunMonitor& monitor) {
  WindowBatchHost host(state, monitor);
  bool completed = false;
  try {
    completed = ProcessDirectionsFile(path, state.Matcher, state.ImageArrays, host);
  } catch (const std::exception& error) {
    host.FatalError(error.what());
  }
  if (completed && !host.fatal_message()) return std::nullopt;
  return host.fatal_message().value_or("Couldn't open " + path);
}

}  // namespace tavrel
