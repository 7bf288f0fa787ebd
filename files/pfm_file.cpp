#include "files/pfm_file.h"

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

bool WritePfm(const FloatArray& grid, int band, const std::string& fileName) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << "Pf\n" << grid.columns() << ' ' << grid.rows() << "\n-1.0\n";
  std::vector<char> line(static_cast<std::size_t>(grid.columns()) * 4);
  for (int r = grid.rows() - 1; r >= 0; --r) {
    for (int c = 0; c < grid.columns(); ++c) {
      std::uint32_t bits = std::bit_cast<std::uint32_t>(grid.Get(r, c, band));
      if constexpr (std::endian::native == std::endian::big) bits = Swapped(bits);
      std::memcpy(&line[static_cast<std::size_t>(c) * 4], &bits, 4);
    }
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  }
  out.close();
  return !out.fail();
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
