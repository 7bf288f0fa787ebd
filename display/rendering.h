#pragma once

#include <cstdint>

#include "display/surface.h"
#include "engine/float_array.h"

namespace tavrel {

// The byte a grid value becomes on screen: truncated toward zero, then the low
// 8 bits of that integer. No clamping: 255.9 -> 255, 256 -> 0, 300 -> 44,
// -1 -> 255, -0.5 -> 0. A value that is not finite gives 0.
std::uint8_t DisplayByte(float value);

// Fills the grid from the surface's top-left grid.rows() x grid.columns()
// pixels: with 3 or more bands, bands 0, 1, 2 get the blue, green and red
// bytes (higher bands are left alone); with 1 or 2 bands, band 0 gets the blue
// byte alone. Returns false, writing nothing, when the surface is smaller than
// the grid in either direction.
bool Surface2Array(const Surface& surface, FloatArray& grid);

// Renders the grid into the surface's top-left corner: a grid of fewer than 3
// bands is drawn grey (band 0 in all three colour bytes), otherwise bands 0, 1,
// 2 become blue, green and red; byte 3 is set to 0. Values become bytes by
// DisplayByte. Returns false, writing nothing, when the grid is larger than the
// surface in either direction.
bool Array2Surface(const FloatArray& grid, Surface& surface);

}  // namespace tavrel
