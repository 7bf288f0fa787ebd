#pragma once

// Helpers shared by the window's tests: a working directory of their own,
// textured grey pictures, their BMP files and directions-file entries.

#include <filesystem>
#include <memory>
#include <string>

#include "engine/float_array.h"
#include "tests/batch_test_support.h"

namespace tavrel::test_support {

namespace fs = std::filesystem;

// A temporary directory that is also the working directory while it lives.
class TemporaryWorkingDirectory {
 public:
  TemporaryWorkingDirectory() { fs::current_path(dir_.path); }
  ~TemporaryWorkingDirectory() { fs::current_path(previous_); }
  const fs::path& path() const { return dir_.path; }

 private:
  fs::path previous_ = fs::current_path();
  testing::TempDir dir_;
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

inline void WriteGreyBmp(const fs::path& path, const FloatArray& grey) {
  testing::WriteGreyBmp(path.string(), grey.columns(), grey.rows(),
                        [&grey](int r, int c) { return grey.At(r, c, 0); });
}

// An entry over disparities 0 to 12.
inline std::string Entry(const std::string& image0, const std::string& image1, int iterations,
                         const std::string& output) {
  return testing::Entry(image0, image1, output, iterations, 1, 0, 12);
}

}  // namespace tavrel::test_support
