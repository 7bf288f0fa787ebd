#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "display/surface.h"
#include "engine/float_array.h"

namespace tavrel {

// Pictures beyond this many pixels are refused as implausible: a hostile header
// must not make the loader allocate gigabytes.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
inline constexpr std::uint64_t kMaxImagePixels = std::uint64_t{1} << 18;  // fast fuzzing
#else
inline constexpr std::uint64_t kMaxImagePixels = std::uint64_t{1} << 26;
#endif

// Decodes an image file held in memory into a BGRX surface, top row first:
// BMP, PGM and PPM by our own decoders, PNG by stb_image. Returns false,
// leaving the surface unchanged, for anything that cannot be decoded.
bool DecodeImage(const std::uint8_t* bytes, std::size_t size, Surface& surface);

// Reads and decodes the file at `path`; false when it cannot be read or decoded.
bool LoadImageSurface(const std::string& path, Surface& surface);

// Loads the file at `path` as a grid of its own size with `bands` bands,
// converted by Surface2Array: band 0 blue, 1 green, 2 red; with one band the
// blue byte alone. Null when the file cannot be read or decoded, or when
// bands is not positive.
std::unique_ptr<FloatArray> LoadImageGrid(const std::string& path, int bands);

}  // namespace tavrel
