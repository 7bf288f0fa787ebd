#include "app/application.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/ground_truth.h"
#include "display/error_picture.h"
#include "display/rendering.h"
#include "display/result_maps.h"
#include "display/slice_pictures.h"
#include "files/output_file.h"
#include "files/usage_text.h"

namespace tavrel {
namespace {

constexpr char kReadmeName[] = "README.txt";
constexpr char kReadmeNotice[] = "Please read README.txt";

std::string FormatNumber(const char* format, int value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string DisparityCaption(int iteration_count) {
  return FormatNumber("Disparity %d", iteration_count);
}

std::string ConfidenceCaption(int iteration_count) {
  return FormatNumber("Confidence %d", iteration_count);
}

std::string PictureFileName(const std::string& caption) {
  std::string stem = caption;
  const std::size_t slash = stem.find_last_of('/');
  if (slash != std::string::npos) stem.erase(0, slash + 1);
  const std::size_t dot = stem.find_last_of('.');
  if (dot != std::string::npos && dot > 0) stem.erase(dot);
  std::string name;
  for (const char c : stem) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!name.empty() && name.back() != '-') {
      name += '-';
    }
  }
  while (!name.empty() && name.back() == '-') name.pop_back();
  return (name.empty() ? std::string("picture") : name) + ".png";
}

std::string OutputNotWrittenText(const std::string& path) { return "Could not write " + path; }

std::string SliceCaption(MouseButton button, int row) {
  return FormatNumber(button == MouseButton::Left ? "L0 2D Slice %3d" : "Ln 2D Slice %3d", row);
}

Application::Application(AppState& state, Presenter& presenter)
    : state_(state), presenter_(presenter) {}

bool Application::Loaded() const { return state_.DirectionsLoaded == 1; }

bool Application::Computed() const { return Loaded() && state_.Matcher.L0Ready() == 1; }

void Application::Paint(int row) {
  state_.RedrawPending = 1;
  UpdateView(row);
}

void Application::KeyDown(Key key, int row) {
  StereoMatcher& matcher = state_.Matcher;
  switch (key) {
    case Key::Escape:
      presenter_.Close();
      return;
    case Key::I:
      if (!Computed()) return;
      matcher.Iterate();
      matcher.ExtractDispConf();
      DisparityToDisplay(matcher);
      ShowMap(ShownView::Disparity, DisparityCaption(matcher.IterationCount()));
      break;
    case Key::P:
      if (!Computed()) return;
      WriteOutputAndSaySo();
      break;
    case Key::F1:
      if (!Loaded()) return;
      ShowImage(0, matcher.Image0Name);
      break;
    case Key::F2:
      if (!Loaded()) return;
      ShowImage(1, matcher.Image1Name);
      break;
    case Key::F3:
      if (!Computed()) return;
      DisparityToDisplay(matcher);
      ShowMap(ShownView::Disparity, DisparityCaption(matcher.IterationCount()));
      break;
    case Key::F4:
      if (!Computed()) return;
      ConfidenceToDisplay(matcher);
      ShowMap(ShownView::Confidence, ConfidenceCaption(matcher.IterationCount()));
      break;
    case Key::F5:
      if (!Computed()) return;
      ShowErrorView();
      break;
    case Key::M:
      if (!Loaded()) return;
      SetColourMap(NextColourMap(state_.Colours));
      break;
    case Key::G:
      if (!Loaded()) return;
      SetColourMap(ColourMap::Grey);
      break;
    case Key::Other:
      return;
  }
  UpdateView(row);
}

void Application::MouseMove(int row) {
  if (state_.LeftButtonDown == 1 || state_.RightButtonDown == 1) UpdateView(row);
}

void Application::ButtonDown(MouseButton button, int row) {
  (button == MouseButton::Left ? state_.LeftButtonDown : state_.RightButtonDown) = 1;
  UpdateView(row);
}

void Application::ButtonUp(MouseButton button) {
  (button == MouseButton::Left ? state_.LeftButtonDown : state_.RightButtonDown) = 0;
  if (state_.LeftButtonDown == 0 && state_.RightButtonDown == 0) presenter_.MarkRow(-1);
  // The last slice stays on screen; the next press presents again whatever the row.
  state_.LastSliceRow = -1;
}

void Application::ChooseColourMap(ColourMap map, int row) {
  if (!Loaded()) {
    // Taken for the views to come; nothing is drawn before a file is loaded.
    state_.Colours = map;
    return;
  }
  SetColourMap(map);
  UpdateView(row);
}

std::string Application::LoadGroundTruth(const std::string& path) {
  try {
    state_.GroundTruth = ::tavrel::LoadGroundTruth(path);
  } catch (const std::exception& error) {
    return error.what();
  }
  state_.GroundTruthName = path;
  presenter_.ShowStatus("Ground truth " + path + " (F5 shows the error)");
  return std::string();
}

void Application::ShowErrorView() {
  const StereoMatcher& matcher = state_.Matcher;
  if (!state_.GroundTruth) {
    presenter_.ShowStatus("No ground truth: File > Load ground truth");
    return;
  }
  const std::string mismatch = GroundTruthMismatch(matcher, *state_.GroundTruth);
  if (!mismatch.empty()) {
    presenter_.ShowStatus(mismatch);
    return;
  }
  state_.Shown = ShownView::Error;
  ApplyColourMap();
  state_.RedrawPending = 1;
  state_.CaptionText = ErrorCaption(
      matcher.IterationCount(), ScoreAgainstGroundTruth(*matcher.DispConf(), *state_.GroundTruth));
  state_.CaptionPending = 1;
}

ColourScale Application::RenderErrorView() {
  const ColourScale scale{ColourMap::Diverging, ValueRange{-kWrongError, kWrongError}};
  const StereoMatcher& matcher = state_.Matcher;
  if (!matcher.DispConf() || !state_.GroundTruth ||
      !GroundTruthMismatch(matcher, *state_.GroundTruth).empty()) {
    return scale;
  }
  RenderSignedError(SignedError(*matcher.DispConf(), *state_.GroundTruth), state_.ImageSurfaces[0]);
  return scale;
}

void Application::Exit() { presenter_.Close(); }

void Application::Help() {
  // README.txt that cannot be written is passed over; the notice is shown anyway.
  WriteReadme(kReadmeName);
  presenter_.ShowMessage(kReadmeNotice);
}

void Application::OpenCancelled(int row) {
  state_.DirectionsLoaded = 0;
  UpdateView(row);
}

void Application::OpenFinished(bool succeeded, const std::string& fatal_message, int row) {
  if (!succeeded) FatalError(fatal_message);
  state_.DirectionsLoaded = succeeded ? 1 : 0;
  if (succeeded) ApplyColourMap();
  UpdateView(row);
}

void Application::UpdateView(int row) {
  if (state_.LeftButtonDown == 1 && Computed()) ShowSlice(MouseButton::Left, row);
  if (state_.RightButtonDown == 1 && Computed()) ShowSlice(MouseButton::Right, row);
  if (state_.RedrawPending == 1) {
    state_.RedrawPending = 0;
    PresentSurface();
  }
  state_.LastSliceRow = row;
}

void Application::FatalError(const std::string& message) {
  ReleaseDisplayObjects();
  state_.FatalErrorReported = true;
  presenter_.ShowMessage(message);
  presenter_.Close();
}

void Application::ReleaseDisplayObjects() {
  state_.DisplayReleased = true;
  for (Surface& surface : state_.ImageSurfaces) surface = Surface();
}

void Application::WriteOutputAndSaySo() {
  const std::string& name = state_.Matcher.OutputFileName;
  errno = 0;
  if (WriteOutputFile(state_.Matcher, name)) {
    presenter_.ShowStatus("Wrote " + name);
    return;
  }
  const int reason = errno;
  presenter_.ShowStatus(OutputNotWrittenText(name) +
                        (reason != 0 ? std::string(": ") + std::strerror(reason) : std::string()));
}

void Application::ShowImage(int which, const std::string& name) {
  state_.Shown = which == 0 ? ShownView::Image0 : ShownView::Image1;
  const FloatArray* image =
      which == 0 ? state_.ImageArrays.image0.get() : state_.ImageArrays.image1.get();
  if (image != nullptr) RenderToDrawingSurface(*image);
  ApplyColourMap();
  state_.RedrawPending = 1;
  state_.CaptionText = name;
  state_.CaptionPending = 1;
}

void Application::ShowMap(ShownView map, const std::string& caption) {
  state_.Shown = map;
  if (state_.Matcher.DisplayMap()) RenderToDrawingSurface(*state_.Matcher.DisplayMap());
  ApplyColourMap();
  state_.RedrawPending = 1;
  state_.CaptionText = caption;
  state_.CaptionPending = 1;
}

void Application::ShowSlice(MouseButton button, int row) {
  StereoMatcher& matcher = state_.Matcher;
  if (button == MouseButton::Left) {
    L0SliceToDisplay(matcher, row, kSlicePictureRowsPerDisparity);
  } else {
    LnSliceToDisplay(matcher, row, kSlicePictureRowsPerDisparity);
  }
  if (matcher.DisplayMap()) RenderToDrawingSurface(*matcher.DisplayMap());
  state_.Shown = button == MouseButton::Left ? ShownView::L0Slice : ShownView::LnSlice;
  state_.SliceRow = row;
  ApplyColourMap();
  state_.CaptionText = SliceCaption(button, row);
  state_.CaptionPending = 1;
  if (row != state_.LastSliceRow) {
    PresentSurface();
    if (!state_.DisplayReleased) presenter_.MarkRow(row);
  }
}

void Application::SetColourMap(ColourMap map) {
  state_.Colours = map;
  const FloatArray* grey = nullptr;
  if (state_.Shown == ShownView::Image0) grey = state_.ImageArrays.image0.get();
  if (state_.Shown == ShownView::Image1) grey = state_.ImageArrays.image1.get();
  if (state_.Shown != ShownView::Image0 && state_.Shown != ShownView::Image1) {
    grey = state_.Matcher.DisplayMap();
  }
  if (grey != nullptr) RenderToDrawingSurface(*grey);
  ApplyColourMap();
  state_.RedrawPending = 1;
}

void Application::ApplyColourMap() {
  if (state_.DisplayReleased) return;
  // The error view has its own scale whatever the map.
  if (state_.Shown == ShownView::Error) {
    presenter_.ShowColourScale(RenderErrorView());
    return;
  }
  presenter_.ShowColourScale(state_.Colours == ColourMap::Grey ? std::nullopt : RenderInColour());
}

std::optional<ColourScale> Application::RenderInColour() {
  Surface& surface = state_.ImageSurfaces[0];
  const StereoMatcher& matcher = state_.Matcher;
  const ColourMap map = state_.Colours;
  const FloatArray* image = nullptr;
  const FloatArray* volume = nullptr;
  switch (state_.Shown) {
    case ShownView::None:
    case ShownView::Error:
      return std::nullopt;
    case ShownView::Image0:
      image = state_.ImageArrays.image0.get();
      break;
    case ShownView::Image1:
      image = state_.ImageArrays.image1.get();
      break;
    case ShownView::Disparity: {
      if (!matcher.DispConf()) return std::nullopt;
      // The scale spans the disparity range searched, whatever this map holds.
      const ValueRange range{static_cast<double>(matcher.MinDisparity()),
                             static_cast<double>(matcher.MaxDisparity())};
      RenderMapped(*matcher.DispConf(), 0, map, range, surface);
      return ColourScale{map, range};
    }
    case ShownView::Confidence: {
      if (!matcher.DispConf()) return std::nullopt;
      const ValueRange range = FiniteRange(*matcher.DispConf(), 1).value_or(ValueRange{});
      RenderMapped(*matcher.DispConf(), 1, map, range, surface);
      return ColourScale{map, range};
    }
    case ShownView::L0Slice:
      volume = matcher.L0();
      break;
    case ShownView::LnSlice:
      volume = matcher.Ln();
      break;
  }
  if (image != nullptr) {
    // Colour images are shown in their own colours.
    if (image->bands() >= 3) return std::nullopt;
    const ValueRange range{0.0, 255.0};
    RenderMapped(*image, 0, map, range, surface);
    return ColourScale{map, range};
  }
  if (volume == nullptr) return std::nullopt;
  // Automatic contrast: the slice's own smallest and largest values span the
  // scale, so that the current match values, mostly far below 1, show.
  const FloatArray values =
      SliceValues(matcher, *volume, state_.SliceRow, kSlicePictureRowsPerDisparity);
  const ValueRange range = FiniteRange(values, 0).value_or(ValueRange{});
  RenderMapped(values, 0, map, range, surface);
  return ColourScale{map, range};
}

void Application::RenderToDrawingSurface(const FloatArray& grid) {
  // After the release there is no surface to draw into.
  if (state_.DisplayReleased) return;
  Surface& surface = state_.ImageSurfaces[0];
  if (grid.columns() <= surface.width && grid.rows() <= surface.height) {
    Array2Surface(grid, surface);
    return;
  }
  // Only image 1 can be larger than the drawing surface (image 0's size); its
  // top-left part is shown, the part the matcher compared.
  const int columns = std::min(grid.columns(), surface.width);
  const int rows = std::min(grid.rows(), surface.height);
  FloatArray part(columns, rows, grid.bands());
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      for (int b = 0; b < grid.bands(); ++b) part.At(r, c, b) = grid.At(r, c, b);
    }
  }
  Array2Surface(part, surface);
}

void Application::PresentSurface() {
  if (state_.DisplayReleased) return;
  presenter_.Present(state_.ImageSurfaces[0],
                     state_.CaptionPending == 1 ? &state_.CaptionText : nullptr);
  state_.CaptionPending = 0;
}

}  // namespace tavrel
