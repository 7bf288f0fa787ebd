#pragma once

#include <cstddef>
#include <cstdint>

#include "imageio/image_source.h"
#include "imageio/surface.h"

namespace tavrel {

// True when the bytes start with the PNG signature.
bool LooksLikePng(const std::uint8_t* bytes, std::size_t size);

// Decodes a PNG file into a BGRX surface through stb_image. The IHDR chunk is
// read and checked first; then the chunks are read one by one up to IEND, each
// within the file and within what a picture of that size can need, and each
// with a correct CRC. Nothing after IEND is read. Throws ImageLoadError for
// anything malformed, truncated, corrupted or larger than maxPixels pixels.
Surface DecodePng(ImageSource& source, std::uint64_t maxPixels);

}  // namespace tavrel
