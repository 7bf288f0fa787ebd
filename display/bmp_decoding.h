#pragma once

#include <cstddef>
#include <cstdint>

#include "display/surface.h"

namespace tavrel {

// True when the bytes start like a BMP file ("BM").
bool LooksLikeBmp(const std::uint8_t* bytes, std::size_t size);

// Decodes a whole BMP file held in memory into a BGRX surface, top row first:
// 1, 4 and 8 bits per pixel with a colour table (uncompressed, RLE4, RLE8),
// 16 and 32 bits with default or explicit channel masks, 24 bits; bottom-up and
// top-down rows; the core (12-byte) and the later info headers. A colour-table
// index beyond the table gives black, pixels that an RLE stream skips take
// entry 0 of the table. Returns false for anything malformed, truncated or
// larger than maxPixels pixels, leaving the surface unchanged.
bool DecodeBmp(const std::uint8_t* bytes, std::size_t size, std::uint64_t maxPixels,
               Surface& surface);

}  // namespace tavrel
