#include "imageio/pfm_file.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace tavrel {
namespace {

std::uint32_t Swapped(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

constexpr int kMaxSide = 1 << 16;

}  // namespace

std::string EncodePfm(const FloatArray& grid, int band) {
  std::string bytes = "Pf\n";
  bytes += std::to_string(grid.columns());
  bytes += ' ';
  bytes += std::to_string(grid.rows());
  bytes += "\n-1.0\n";
  const std::size_t header = bytes.size();
  bytes.resize(header + static_cast<std::size_t>(grid.columns()) * grid.rows() * 4);
  char* out = bytes.data() + header;
  for (int r = grid.rows() - 1; r >= 0; --r) {
    for (int c = 0; c < grid.columns(); ++c, out += 4) {
      std::uint32_t bits = std::bit_cast<std::uint32_t>(grid.Get(r, c, band));
      if constexpr (std::endian::native == std::endian::big) bits = Swapped(bits);
      std::memcpy(out, &bits, 4);
    }
  }
  return bytes;
}

std::unique_ptr<FloatArray> ReadPfm(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  std::string magic;
  int width = 0, height = 0;
  double scale = 0.0;
  if (!(in >> magic >> width >> height >> scale) || magic != "Pf") return nullptr;
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || scale == 0.0) {
    return nullptr;
  }
  in.get();  // the single white-space character that ends the header
  const bool swap = (scale < 0) != (std::endian::native == std::endian::little);
  auto grid = std::make_unique<FloatArray>(width, height, 1);
  std::vector<char> line(static_cast<std::size_t>(width) * 4);
  for (int r = height - 1; r >= 0; --r) {
    if (!in.read(line.data(), static_cast<std::streamsize>(line.size()))) return nullptr;
    for (int c = 0; c < width; ++c) {
      std::uint32_t bits = 0;
      std::memcpy(&bits, &line[static_cast<std::size_t>(c) * 4], 4);
      grid->At(r, c, 0) = std::bit_cast<float>(swap ? Swapped(bits) : bits);
    }
  }
  return grid;
}

}  // namespace tavrel
