#include "display/error_picture.h"

#include <algorithm>
#include <cmath>

#include "display/colour_maps.h"

namespace tavrel {
namespace {

constexpr std::uint8_t kUnknownGrey = 128;

Rgb ErrorColour(double error) {
  if (!std::isfinite(error)) return {kUnknownGrey, kUnknownGrey, kUnknownGrey};
  const double t = (error + kWrongError) / (2 * kWrongError);
  Rgb colour = ColourAt(ColourMap::Diverging, t);
  if (std::abs(error) > kWrongError) {
    colour = {static_cast<std::uint8_t>(colour.red / 2),
              static_cast<std::uint8_t>(colour.green / 2),
              static_cast<std::uint8_t>(colour.blue / 2)};
  }
  return colour;
}

}  // namespace

void RenderSignedError(const FloatArray& error, Surface& surface) {
  const int rows = std::min(error.rows(), surface.height);
  const int columns = std::min(error.columns(), surface.width);
  for (int r = 0; r < rows; ++r) {
    std::uint8_t* pixel = surface.Pixel(r, 0);
    for (int c = 0; c < columns; ++c, pixel += Surface::kBytesPerPixel) {
      const Rgb colour = ErrorColour(error.At(r, c, 0));
      pixel[0] = colour.blue;
      pixel[1] = colour.green;
      pixel[2] = colour.red;
      pixel[3] = 0;
    }
  }
}

}  // namespace tavrel
