#include "display/colour_maps.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tavrel {
namespace {

// Evenly spaced stops, joined by straight lines in RGB.
constexpr std::array<Rgb, 10> kViridisStops = {{{0x44, 0x01, 0x54},
                                                {0x48, 0x28, 0x78},
                                                {0x3e, 0x49, 0x89},
                                                {0x31, 0x68, 0x8e},
                                                {0x26, 0x82, 0x8e},
                                                {0x1f, 0x9e, 0x89},
                                                {0x35, 0xb7, 0x79},
                                                {0x6e, 0xce, 0x58},
                                                {0xb5, 0xde, 0x2b},
                                                {0xfd, 0xe7, 0x25}}};

constexpr std::array<Rgb, 9> kDivergingStops = {{{0x21, 0x66, 0xac},
                                                 {0x43, 0x93, 0xc3},
                                                 {0x92, 0xc5, 0xde},
                                                 {0xd1, 0xe5, 0xf0},
                                                 {0xf7, 0xf7, 0xf7},
                                                 {0xfd, 0xdb, 0xc7},
                                                 {0xf4, 0xa5, 0x82},
                                                 {0xd6, 0x60, 0x4d},
                                                 {0xb2, 0x18, 0x2b}}};

std::uint8_t Mix(std::uint8_t from, std::uint8_t to, double share) {
  return static_cast<std::uint8_t>(std::lround(from + (to - from) * share));
}

template <std::size_t N>
Rgb Interpolate(const std::array<Rgb, N>& stops, double t) {
  const double position = t * (N - 1);
  const std::size_t below = std::min<std::size_t>(static_cast<std::size_t>(position), N - 2);
  const double share = position - static_cast<double>(below);
  const Rgb& a = stops[below];
  const Rgb& b = stops[below + 1];
  return {Mix(a.red, b.red, share), Mix(a.green, b.green, share), Mix(a.blue, b.blue, share)};
}

}  // namespace

const char* ColourMapName(ColourMap map) {
  switch (map) {
    case ColourMap::Grey:
      return "Grey";
    case ColourMap::Viridis:
      return "Viridis";
    case ColourMap::Diverging:
      return "Diverging";
  }
  return "Grey";
}

ColourMap NextColourMap(ColourMap map) {
  switch (map) {
    case ColourMap::Grey:
      return ColourMap::Viridis;
    case ColourMap::Viridis:
      return ColourMap::Diverging;
    case ColourMap::Diverging:
      break;
  }
  return ColourMap::Grey;
}

Rgb ColourAt(ColourMap map, double t) {
  if (std::isnan(t)) return Rgb{};
  t = std::clamp(t, 0.0, 1.0);
  switch (map) {
    case ColourMap::Grey: {
      const auto level = static_cast<std::uint8_t>(std::lround(t * 255.0));
      return {level, level, level};
    }
    case ColourMap::Viridis:
      return Interpolate(kViridisStops, t);
    case ColourMap::Diverging:
      return Interpolate(kDivergingStops, t);
  }
  return Rgb{};
}

std::optional<ValueRange> FiniteRange(const FloatArray& grid, int band) {
  std::optional<ValueRange> range;
  if (band < 0 || band >= grid.bands()) return range;
  for (int r = 0; r < grid.rows(); ++r) {
    for (int c = 0; c < grid.columns(); ++c) {
      const double value = grid.At(r, c, band);
      if (!std::isfinite(value)) continue;
      if (!range) {
        range = ValueRange{value, value};
      } else {
        range->low = std::min(range->low, value);
        range->high = std::max(range->high, value);
      }
    }
  }
  return range;
}

void RenderMapped(const FloatArray& grid, int band, ColourMap map, ValueRange range,
                  Surface& surface) {
  if (band < 0 || band >= grid.bands()) return;
  const double span = range.high - range.low;
  const int rows = std::min(grid.rows(), surface.height);
  const int columns = std::min(grid.columns(), surface.width);
  for (int r = 0; r < rows; ++r) {
    std::uint8_t* pixel = surface.Pixel(r, 0);
    for (int c = 0; c < columns; ++c, pixel += Surface::kBytesPerPixel) {
      const double value = grid.At(r, c, band);
      Rgb colour;
      if (std::isfinite(value)) colour = ColourAt(map, span > 0 ? (value - range.low) / span : 0.5);
      pixel[0] = colour.blue;
      pixel[1] = colour.green;
      pixel[2] = colour.red;
      pixel[3] = 0;
    }
  }
}

}  // namespace tavrel
