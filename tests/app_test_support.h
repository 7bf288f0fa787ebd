#pragma once

// Helpers shared by the window's tests: a working directory of their own,
// textured image pairs, BMP files and directions-file entries.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/float_array.h"

namespace tavrel::test_support {

namespace fs = std::filesystem;

// A temporary directory that is also the working directory while it lives.
class TemporaryWorkingDirectory {
 public:
  TemporaryWorkingDirectory() {
    std::string pattern = (fs::temp_directory_path() / "tavrel-app-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
    previous_ = fs::current_path();
    fs::current_path(path_);
  }
  ~TemporaryWorkingDirectory() {
    fs::current_path(previous_);
    fs::remove_all(path_);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  fs::path previous_;
};

// A textured grey picture, moved `shift` columns to the right: the texture
// moved by -d is image 1 of a pair whose disparity is d everywhere.
inline float Texture(int row, int column) {
  const unsigned hash = static_cast<unsigned>(row * 7919 + column * 104729) * 2654435761u;
  return static_cast<float>((hash >> 24) & 0xff);
}

inline std::unique_ptr<FloatArray> ShiftedTexture(int columns, int rows, int shift) {
  auto grid = std::make_unique<FloatArray>(columns, rows, 1);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) grid->At(r, c, 0) = Texture(r, c - shift);
  }
  return grid;
}

// A 24-bit bottom-up BMP of a grey picture.
inline void WriteGreyBmp(const fs::path& path, const FloatArray& grey) {
  const int width = grey.columns(), height = grey.rows();
  const int row_bytes = (width * 3 + 3) / 4 * 4;
  const std::uint32_t data_size = static_cast<std::uint32_t>(row_bytes * height);
  std::vector<std::uint8_t> bytes(54 + data_size, 0);
  auto put32 = [&bytes](std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
  };
  bytes[0] = 'B';
  bytes[1] = 'M';
  put32(2, 54 + data_size);
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<std::uint32_t>(width));
  put32(22, static_cast<std::uint32_t>(height));
  bytes[26] = 1;
  bytes[28] = 24;
  put32(34, data_size);
  for (int r = 0; r < height; ++r) {
    std::uint8_t* line = bytes.data() + 54 + static_cast<std::size_t>(height - 1 - r) * row_bytes;
    for (int c = 0; c < width; ++c) {
      const auto v = static_cast<std::uint8_t>(grey.At(r, c, 0));
      line[3 * c] = line[3 * c + 1] = line[3 * c + 2] = v;
    }
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

inline std::string Entry(const std::string& image0, const std::string& image1, int iterations,
                         const std::string& output) {
  return image0 + " " + image1 + " 1\nMinDisparity \t0\nMaxDisparity \t12\nWinRadL0 \t1\n" +
         "WinRadRC \t2\nWinRadD \t1\nNumIterations \t" + std::to_string(iterations) +
         "\nMaxScaler \t0.96\nUSE_SAD \t1\nOutput File \t" + output + "\n";
}

}  // namespace tavrel::test_support
