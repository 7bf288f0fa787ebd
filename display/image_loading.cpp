#include "display/image_loading.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "display/bmp_decoding.h"
#include "display/pnm_decoding.h"
#include "display/rendering.h"

// stb_image is compiled here with internal linkage, so that no other part of
// the program can meet a second copy of its symbols. Only its PNG decoder is
// used. Fuzzing the packaged version found its JPEG decoder writing past a
// Huffman table and its PNM header reader overflowing an int on hostile files;
// PGM and PPM have a decoder of our own, JPEG is left out (stereo pairs are
// rarely stored lossily anyway).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#define STBI_ONLY_PNG
#define STBI_MAX_DIMENSIONS (1 << 16)
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace tavrel {
namespace {

// Every chunk of a PNG file must lie inside the file. The packaged decoder
// trusts a chunk's stated length and allocates for it before reading, so a
// few hostile bytes could otherwise ask for gigabytes.
bool PngChunksFit(const std::uint8_t* bytes, std::size_t size) {
  static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size < 8 || !std::equal(kSignature, kSignature + 8, bytes)) return false;
  std::size_t at = 8;
  while (size - at >= 12) {
    const std::uint64_t length =
        std::uint64_t{bytes[at]} << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
    if (length > size - at - 12) return false;
    const bool end = std::equal(bytes + at + 4, bytes + at + 8, "IEND");
    at += 12 + length;
    if (end) return true;
  }
  return false;
}

bool DecodeWithStb(const std::uint8_t* bytes, std::size_t size, Surface& surface) {
  if (size > static_cast<std::size_t>(INT32_MAX) || !PngChunksFit(bytes, size)) return false;
  const int length = static_cast<int>(size);
  int width = 0, height = 0, channels = 0;
  if (!stbi_info_from_memory(bytes, length, &width, &height, &channels)) return false;
  if (width <= 0 || height <= 0 ||
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxImagePixels) {
    return false;
  }
  stbi_uc* rgb = stbi_load_from_memory(bytes, length, &width, &height, &channels, 3);
  if (rgb == nullptr) return false;
  Surface decoded(width, height);
  const stbi_uc* source = rgb;
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c, source += 3) {
      std::uint8_t* pixel = decoded.Pixel(r, c);
      pixel[0] = source[2];
      pixel[1] = source[1];
      pixel[2] = source[0];
      pixel[3] = 0;
    }
  }
  stbi_image_free(rgb);
  surface = std::move(decoded);
  return true;
}

}  // namespace

bool DecodeImage(const std::uint8_t* bytes, std::size_t size, Surface& surface) {
  if (LooksLikeBmp(bytes, size)) return DecodeBmp(bytes, size, kMaxImagePixels, surface);
  if (LooksLikePnm(bytes, size)) return DecodePnm(bytes, size, kMaxImagePixels, surface);
  return DecodeWithStb(bytes, size, surface);
}

bool LoadImageSurface(const std::string& path, Surface& surface) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  std::vector<std::uint8_t> bytes;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
  } catch (const std::exception&) {
    return false;  // a read error or a file too large to hold
  }
  return DecodeImage(bytes.data(), bytes.size(), surface);
}

std::unique_ptr<FloatArray> LoadImageGrid(const std::string& path, int bands) {
  if (bands <= 0) return nullptr;
  Surface surface;
  if (!LoadImageSurface(path, surface)) return nullptr;
  auto grid = std::make_unique<FloatArray>(surface.width, surface.height, bands);
  // Bands beyond the three colours carry no value of their own; keep them
  // defined rather than leave whatever the allocation held.
  if (bands > 3 || bands == 2) grid->Fill(0.0f);
  if (!Surface2Array(surface, *grid)) return nullptr;
  return grid;
}

}  // namespace tavrel
