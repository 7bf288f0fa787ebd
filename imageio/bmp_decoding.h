#pragma once

#include <cstddef>
#include <cstdint>

#include "imageio/image_source.h"
#include "imageio/surface.h"

namespace tavrel {

// True when the bytes start like a BMP file ("BM").
bool LooksLikeBmp(const std::uint8_t* bytes, std::size_t size);

// Decodes a BMP file into a BGRX surface, top row first: 1, 4 and 8 bits per
// pixel with a colour table (uncompressed, RLE4, RLE8), 16 and 32 bits with
// default or explicit channel masks, 24 bits; bottom-up and top-down rows; the
// core (12-byte) and the later info headers. The headers are read and checked
// first, then only the colour table and the pixel bytes. A colour table may
// hold fewer entries than the bit depth allows as long as every index used is
// in it; pixels that an RLE stream skips take entry 0. Throws ImageLoadError
// for anything malformed, truncated or larger than maxPixels pixels.
Surface DecodeBmp(ImageSource& source, std::uint64_t maxPixels);

}  // namespace tavrel
