#pragma once

#include <cstddef>
#include <cstdint>

#include "display/surface.h"

namespace tavrel {

// True when the bytes start like a binary PGM or PPM file ("P5" or "P6").
bool LooksLikePnm(const std::uint8_t* bytes, std::size_t size);

// Decodes a binary PGM (P5) or PPM (P6) file held in memory into a BGRX
// surface: header comments allowed, any maximum value from 1 to 65535 (two
// bytes per sample above 255, most significant first), each sample scaled to
// 0..255 with rounding. False for anything malformed, truncated or larger
// than maxPixels pixels, leaving the surface unchanged.
bool DecodePnm(const std::uint8_t* bytes, std::size_t size, std::uint64_t maxPixels,
               Surface& surface);

}  // namespace tavrel
