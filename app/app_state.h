#pragma once

#include <array>
#include <memory>
#include <string>

#include "display/colour_maps.h"
#include "engine/stereo_matcher.h"
#include "files/batch_run.h"
#include "imageio/surface.h"

namespace tavrel {

// What the drawing surface shows.
enum class ShownView { None, Image0, Image1, Disparity, Confidence, L0Slice, LnSlice, Error };

// Everything the window, the batch run and the commands share. Flags hold 0 or
// 1, as the commands test and set them.
struct AppState {
  StereoMatcher Matcher;
  // The last entry's images as grids (1 or 3 bands).
  EntryImages ImageArrays;
  // The last entry's images as pictures. Surface 0 is also the drawing surface:
  // every view is rendered into it and presented from it.
  std::array<Surface, 2> ImageSurfaces;
  int DisplayWidth = 0;
  int DisplayHeight = 0;
  // Drawn on the menu bar at the next presentation while CaptionPending is 1.
  std::string CaptionText;
  int CaptionPending = 0;
  int RedrawPending = 0;
  int LeftButtonDown = 0;
  int RightButtonDown = 0;
  int DirectionsLoaded = 0;
  // The pointer row of the previous UpdateView; a slice of that row is not
  // presented again. -1 at start and after a button is released.
  int LastSliceRow = -1;
  // What was last rendered into the drawing surface, and for a slice its row.
  ShownView Shown = ShownView::None;
  int SliceRow = -1;
  // How the views are drawn; Grey is the exact byte rule.
  ColourMap Colours = ColourMap::Grey;
  // A ground truth in the benchmarks' sign, and the file it came from.
  std::unique_ptr<FloatArray> GroundTruth;
  std::string GroundTruthName;
  // Set once the display surfaces are gone (fatal error or window closing):
  // late paints and mouse messages must then draw nothing.
  bool DisplayReleased = false;
  // A fatal error was reported; the program ends with a failure status.
  bool FatalErrorReported = false;
};

}  // namespace tavrel
