#include "imageio/pixel_conversion.h"

#include <cmath>

namespace tavrel {

std::uint8_t DisplayByte(float value) {
  if (!std::isfinite(value)) return 0;
  // fmod of the truncated value is exact for every float, so the low 8 bits
  // come out right also beyond the range of a 32-bit integer.
  double low = std::fmod(std::trunc(static_cast<double>(value)), 256.0);
  if (low < 0.0) low += 256.0;
  return static_cast<std::uint8_t>(low);
}

bool Surface2Array(const Surface& surface, FloatArray& grid) {
  if (grid.rows() > surface.height || grid.columns() > surface.width) return false;
  const int colourBands = grid.bands() >= 3 ? 3 : (grid.bands() >= 1 ? 1 : 0);
  for (int r = 0; r < grid.rows(); ++r) {
    for (int c = 0; c < grid.columns(); ++c) {
      const std::uint8_t* pixel = surface.Pixel(r, c);
      for (int b = 0; b < colourBands; ++b) grid.At(r, c, b) = static_cast<float>(pixel[b]);
    }
  }
  return true;
}

}  // namespace tavrel
