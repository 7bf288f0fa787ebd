#pragma once

#include "engine/float_array.h"
#include "imageio/surface.h"

namespace tavrel {

// Renders the grid into the surface's top-left corner: a grid of fewer than 3
// bands is drawn grey (band 0 in all three colour bytes), otherwise bands 0, 1,
// 2 become blue, green and red; byte 3 is set to 0. Values become bytes by
// DisplayByte. Returns false, writing nothing, when the grid is larger than the
// surface in either direction.
bool Array2Surface(const FloatArray& grid, Surface& surface);

}  // namespace tavrel
