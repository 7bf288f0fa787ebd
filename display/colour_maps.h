#pragma once

#include <cstdint>
#include <optional>

#include "engine/float_array.h"
#include "imageio/surface.h"

namespace tavrel {

// How values become colours on screen. Grey is the exact byte rule of
// Array2Surface; the others spread a value range over a colour scale: Viridis
// runs from dark blue through green to yellow with evenly rising lightness,
// Diverging from blue through near-white at the middle of the range to red.
enum class ColourMap { Grey, Viridis, Diverging };

struct Rgb {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool operator==(const Rgb&) const = default;
};

// The values at the two ends of a colour scale.
struct ValueRange {
  double low = 0.0;
  double high = 0.0;
};

// "Grey", "Viridis", "Diverging".
const char* ColourMapName(ColourMap map);
// Grey, then Viridis, then Diverging, then Grey again.
ColourMap NextColourMap(ColourMap map);

// The colour at position t of the scale, t clamped to 0 .. 1; for Grey the
// level round(t * 255) in all three. A t that is not a number gives black.
Rgb ColourAt(ColourMap map, double t);

// The smallest and largest finite value of one band, or nothing when the band
// holds none.
std::optional<ValueRange> FiniteRange(const FloatArray& grid, int band);

// Renders one band of the grid into the surface's top-left corner through the
// map, `range.low` at the scale's start and `range.high` at its end (an empty
// range puts every value at the middle). Values that are not finite are drawn
// black; byte 3 is set to 0. Rows and columns beyond the surface are left
// out.
void RenderMapped(const FloatArray& grid, int band, ColourMap map, ValueRange range,
                  Surface& surface);

}  // namespace tavrel
