#include "imageio/image_loading.h"

#include <new>
#include <stdexcept>
#include <vector>

#include "imageio/bmp_decoding.h"
#include "imageio/image_source.h"
#include "imageio/pixel_conversion.h"
#include "imageio/png_decoding.h"
#include "imageio/pnm_decoding.h"

namespace tavrel {

Surface DecodeImage(ImageSource& source) {
  constexpr std::uint64_t kSignatureBytes = 8;
  const std::vector<std::uint8_t> start =
      ReadBytes(source, 0, std::min(source.Size(), kSignatureBytes), "signature");
  if (start.empty()) throw ImageLoadError("truncated: the file is empty");
  if (LooksLikeBmp(start.data(), start.size())) return DecodeBmp(source, kMaxImagePixels);
  if (LooksLikePnm(start.data(), start.size())) return DecodePnm(source, kMaxImagePixels);
  if (LooksLikePng(start.data(), start.size())) return DecodePng(source, kMaxImagePixels);
  throw ImageLoadError("unsupported format: not a BMP, PNG, binary PGM or binary PPM file");
}

Surface DecodeImage(const std::uint8_t* bytes, std::size_t size) {
  MemorySource source(bytes, size);
  return DecodeImage(source);
}

Surface LoadImageSurface(const std::string& path) {
  FileSource source(path);
  return DecodeImage(source);
}

std::unique_ptr<FloatArray> LoadImageGrid(const std::string& path, int bands) {
  if (bands <= 0) throw std::invalid_argument("bands must be positive");
  const Surface surface = LoadImageSurface(path);
  std::unique_ptr<FloatArray> grid;
  try {
    grid = std::make_unique<FloatArray>(surface.width, surface.height, bands);
  } catch (const std::bad_alloc&) {
    throw ImageLoadError("too large: a grid of " + SizeText(surface.width, surface.height) +
                         " pixels with " + std::to_string(bands) +
                         (bands == 1 ? " band" : " bands") + " does not fit into the memory left");
  }
  // Bands beyond the three colours carry no value of their own; keep them
  // defined rather than leave whatever the allocation held.
  if (bands > 3 || bands == 2) grid->Fill(0.0f);
  Surface2Array(surface, *grid);
  return grid;
}

}  // namespace tavrel
