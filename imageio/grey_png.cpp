#include "imageio/grey_png.h"

#include <cstdint>
#include <vector>

#include "imageio/pixel_conversion.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

namespace tavrel {
namespace {

void Append(void* context, void* data, int size) {
  auto* bytes = static_cast<std::vector<std::uint8_t>*>(context);
  const auto* first = static_cast<const std::uint8_t*>(data);
  bytes->insert(bytes->end(), first, first + size);
}

}  // namespace

std::vector<std::uint8_t> EncodeGreyPng(const FloatArray& map) {
  if (map.columns() <= 0 || map.rows() <= 0) return {};
  std::vector<std::uint8_t> grey(static_cast<std::size_t>(map.columns()) * map.rows());
  for (int r = 0; r < map.rows(); ++r) {
    for (int c = 0; c < map.columns(); ++c) {
      grey[static_cast<std::size_t>(r) * map.columns() + c] = DisplayByte(map.Get(r, c, 0));
    }
  }
  std::vector<std::uint8_t> png;
  if (!stbi_write_png_to_func(Append, &png, map.columns(), map.rows(), 1, grey.data(),
                              map.columns())) {
    return {};
  }
  return png;
}

}  // namespace tavrel
