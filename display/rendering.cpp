#include "display/rendering.h"

#include <cstdint>

#include "imageio/pixel_conversion.h"

namespace tavrel {

bool Array2Surface(const FloatArray& grid, Surface& surface) {
  if (grid.rows() > surface.height || grid.columns() > surface.width) return false;
  const bool grey = grid.bands() < 3;
  for (int r = 0; r < grid.rows(); ++r) {
    for (int c = 0; c < grid.columns(); ++c) {
      std::uint8_t* pixel = surface.Pixel(r, c);
      if (grey) {
        const std::uint8_t level = DisplayByte(grid.Get(r, c, 0));
        pixel[0] = pixel[1] = pixel[2] = level;
      } else {
        for (int b = 0; b < 3; ++b) pixel[b] = DisplayByte(grid.At(r, c, b));
      }
      pixel[3] = 0;
    }
  }
  return true;
}

}  // namespace tavrel
