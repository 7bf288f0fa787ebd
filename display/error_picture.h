#pragma once

#include "engine/float_array.h"
#include "imageio/surface.h"

namespace tavrel {

// Errors up to this many pixels either way span the diverging scale; beyond
// it a pixel counts as wrong.
inline constexpr double kWrongError = 2.0;

// Draws band 0 of a signed error grid into the surface's top-left corner: an
// error e within kWrongError in the diverging scale (blue below 0, near-white
// at 0, red above), a wrong one (|e| > kWrongError) in the scale's end colour
// darkened to half, so that wrong pixels stand out and keep their sign, and
// an unknown one (not finite) mid grey. Byte 3 is set to 0.
void RenderSignedError(const FloatArray& error, Surface& surface);

}  // namespace tavrel
