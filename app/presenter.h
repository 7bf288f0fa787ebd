#pragma once

#include <optional>
#include <string>

#include "display/colour_maps.h"
#include "imageio/surface.h"

namespace tavrel {

// The colour bar beside the picture: the scale and the values at its ends.
struct ColourScale {
  ColourMap map = ColourMap::Grey;
  ValueRange range;
};

// What the commands need from the window. Every call comes from the window's
// own thread.
class Presenter {
 public:
  virtual ~Presenter() = default;

  // Shows the picture unscaled at the client area's top-left corner (an empty
  // picture leaves the client area as it is). When caption is not null, it
  // replaces the text on the menu bar; otherwise that text stays.
  virtual void Present(const Surface& picture, const std::string* caption) = 0;

  // A modal box captioned "Tavrel" with the text as it stands and one OK
  // button; returns when it is closed.
  virtual void ShowMessage(const std::string& text) = 0;

  // Asks the window to close; the program then ends.
  virtual void Close() = 0;

  // A line on the status bar that stays until the next one.
  virtual void ShowStatus(const std::string& /*text*/) {}

  // Marks a picture row on the screen only (never in the picture), or none
  // for -1.
  virtual void MarkRow(int /*row*/) {}

  // The colour bar of the view shown, or none (exact grey, colour images).
  virtual void ShowColourScale(const std::optional<ColourScale>& /*scale*/) {}
};

}  // namespace tavrel
