#pragma once

#include <cstdint>
#include <vector>

namespace tavrel {

// A picture in 32-bit BGRX pixels, rows top to bottom: byte 0 of a pixel is
// blue, byte 1 green, byte 2 red, byte 3 carries no colour.
struct Surface {
  static constexpr int kBytesPerPixel = 4;

  Surface() = default;
  Surface(int width, int height)
      : width(width),
        height(height),
        pixels(static_cast<std::size_t>(width) * height * kBytesPerPixel, 0) {}

  int pitch() const { return width * kBytesPerPixel; }
  std::uint8_t* Pixel(int row, int column) {
    return pixels.data() + static_cast<std::size_t>(row) * pitch() + column * kBytesPerPixel;
  }
  const std::uint8_t* Pixel(int row, int column) const {
    return pixels.data() + static_cast<std::size_t>(row) * pitch() + column * kBytesPerPixel;
  }
  bool empty() const { return width <= 0 || height <= 0; }

  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
};

}  // namespace tavrel
