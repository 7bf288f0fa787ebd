#pragma once

#include <cstdint>

#include "engine/float_array.h"
#include "imageio/surface.h"

namespace tavrel {

// The byte a grid value becomes in a picture, on screen or in a file:
// truncated toward zero, then the low 8 bits of that integer. No clamping:
// 255.9 -> 255, 256 -> 0, 300 -> 44, -1 -> 255, -0.5 -> 0. A value that is not
// finite gives 0.
std::uint8_t DisplayByte(float value);

// Fills the grid from the surface's top-left grid.rows() x grid.columns()
// pixels: with 3 or more bands, bands 0, 1, 2 get the blue, green and red
// bytes (higher bands are left alone); with 1 or 2 bands, band 0 gets the blue
// byte alone. Returns false, writing nothing, when the surface is smaller than
// the grid in either direction.
bool Surface2Array(const Surface& surface, FloatArray& grid);

}  // namespace tavrel
