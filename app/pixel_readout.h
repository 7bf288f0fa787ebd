#pragma once

#include <string>

#include "app/app_state.h"
#include "app/view_transform.h"

namespace tavrel {

// What the status bar says about the picture pixel under the pointer, for
// whatever the drawing surface shows: the image row and column, image 0's
// values, and once computed the disparity and confidence there. On a slice,
// the slice's row, the column, the disparity index of the picture row and the
// match value there. Empty outside the picture or before a file is loaded.
std::string PixelReadout(const AppState& state, PicturePoint point);

}  // namespace tavrel
