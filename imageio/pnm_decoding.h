#pragma once

#include <cstddef>
#include <cstdint>

#include "imageio/image_source.h"
#include "imageio/surface.h"

namespace tavrel {

// True when the bytes start like a binary PGM or PPM file ("P5" or "P6").
bool LooksLikePnm(const std::uint8_t* bytes, std::size_t size);

// Decodes a binary PGM (P5) or PPM (P6) file into a BGRX surface: header
// comments allowed (the header within its first 64 KiB), any maximum value
// from 1 to 65535 (two bytes per sample above 255, most significant first),
// each sample scaled to 0..255 with rounding. Only the header and the samples
// are read. Throws ImageLoadError for anything malformed, truncated or larger
// than maxPixels pixels.
Surface DecodePnm(ImageSource& source, std::uint64_t maxPixels);

}  // namespace tavrel
