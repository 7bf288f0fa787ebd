#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "engine/float_array.h"
#include "imageio/surface.h"

namespace tavrel {

class ImageSource;

// Pictures beyond this many pixels (8192 x 8192) are refused before any pixel
// is decoded: a few hostile header bytes, or a small run-length or deflated
// body, must not make the loader allocate gigabytes or decode for minutes.
// Decoding time grows with the pixels and the bytes read, never beyond.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
inline constexpr std::uint64_t kMaxImagePixels = std::uint64_t{1} << 18;  // fast fuzzing
#else
inline constexpr std::uint64_t kMaxImagePixels = std::uint64_t{1} << 26;
#endif

// Why an image was refused, in one line: "truncated: ...", "too large: ...",
// "bad checksum: ...", "bad header field: ...", "unsupported format: ..." or
// the system's reason for a file that cannot be opened or read.
class ImageLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Decodes an image into a BGRX surface, top row first: BMP, PGM and PPM by our
// own decoders, PNG by stb_image after its chunk checksums have been checked.
// Each decoder reads and checks the header before it reads the body, and reads
// only the bytes the picture needs. Throws ImageLoadError for anything that
// cannot be decoded, memory exhausted while decoding included.
Surface DecodeImage(ImageSource& source);
Surface DecodeImage(const std::uint8_t* bytes, std::size_t size);

// Reads and decodes the file at `path`; throws ImageLoadError.
Surface LoadImageSurface(const std::string& path);

// Loads the file at `path` as a grid of its own size with `bands` bands,
// converted by Surface2Array: band 0 blue, 1 green, 2 red; with one band the
// blue byte alone. Throws ImageLoadError when the file cannot be decoded or
// the grid not allocated, std::invalid_argument when bands is not positive.
std::unique_ptr<FloatArray> LoadImageGrid(const std::string& path, int bands);

}  // namespace tavrel
