#pragma once

// Temporary folders, text files and a small textured stereo pair on disk for
// the tests of the batch run and of tavrel-batch, the folders and files of
// the other tests that write to disk, and runs of the built programs.

#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tavrel::testing {

struct TempDir {
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tavrel-batch-test-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
  std::filesystem::path path;
};

inline void WriteText(const std::string& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

inline std::string ReadText(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// What a program run through the shell left: its exit status (-1 when a
// signal ended it) and what it wrote to its standard output and error.
struct ProgramResult {
  int status = -1;
  std::string out, err;
};

// Runs `program` with `arguments` (already quoted for the shell) in `folder`,
// standard input read from `input`; its two output streams pass through
// stdout.txt and stderr.txt in `dir`.
inline ProgramResult RunProgram(const TempDir& dir, const std::string& folder,
                                const std::string& program, const std::string& arguments,
                                const std::string& input = "/dev/null") {
  const std::string command = "cd '" + folder + "' && '" + program + "' " + arguments + " >'" +
                              (dir / "stdout.txt") + "' 2>'" + (dir / "stderr.txt") + "' <'" +
                              input + "'";
  const int raw = std::system(command.c_str());
  ProgramResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = ReadText(dir / "stdout.txt");
  result.err = ReadText(dir / "stderr.txt");
  return result;
}

// A 24-bit bottom-up BMP whose pixel at (row, column) is pixel(row, column):
// three bytes in the file's order, blue, green, red.
template <typename Pixel>
void WriteBmp24(const std::string& file, int width, int height, Pixel pixel) {
  const int stride = (width * 3 + 3) / 4 * 4;
  std::vector<std::uint8_t> b = {'B', 'M'};
  auto put = [&](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back((v >> (8 * i)) & 255);
  };
  put(54 + stride * height, 4), put(0, 4), put(54, 4), put(40, 4), put(width, 4);
  put(height, 4), put(1, 2), put(24, 2), put(0, 4), put(stride * height, 4);
  put(0, 4), put(0, 4), put(0, 4), put(0, 4);
  for (int r = height - 1; r >= 0; --r) {
    for (int c = 0; c < width; ++c) {
      const std::array<std::uint8_t, 3> bgr = pixel(r, c);
      b.insert(b.end(), bgr.begin(), bgr.end());
    }
    b.resize(b.size() + stride - width * 3, 0);
  }
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A grey one, whose level at (row, column) is level(row, column).
template <typename Level>
void WriteGreyBmp(const std::string& file, int width, int height, Level level) {
  WriteBmp24(file, width, height, [&level](int r, int c) {
    const auto v = static_cast<std::uint8_t>(level(r, c));
    return std::array<std::uint8_t, 3>{v, v, v};
  });
}

inline int Texture(int r, int c) {
  // In unsigned arithmetic: the products overflow, which int must not.
  const std::uint32_t h =
      static_cast<std::uint32_t>(r) * 73856093u ^ static_cast<std::uint32_t>(c) * 19349663u;
  return static_cast<int>((h ^ (h >> 13)) * 2654435761u >> 24);
}

// Image 0 and image 1 of a flat scene at disparity -shift: pixel (r, c) of
// image 0 shows at (r, c - shift) of image 1.
inline void WriteShiftedPair(const std::string& file0, const std::string& file1, int width,
                             int height, int shift) {
  WriteGreyBmp(file0, width, height, [](int r, int c) { return Texture(r, c); });
  WriteGreyBmp(file1, width, height, [shift](int r, int c) { return Texture(r, c + shift); });
}

// One directions-file entry with small, quick parameters.
inline std::string Entry(const std::string& image0, const std::string& image1,
                         const std::string& output, int iterations = 2, int bands = 1,
                         int minDisparity = -8, int maxDisparity = 4) {
  std::ostringstream text;
  text << image0 << " " << image1 << " " << bands << "\nMinDisparity \t" << minDisparity
       << "\nMaxDisparity \t" << maxDisparity
       << "\nWinRadL0 \t1\nWinRadRC \t2\nWinRadD \t1\nNumIterations \t" << iterations
       << "\nMaxScaler \t0.96\nUSE_SAD \t1\nOutput File \t" << output << "\n";
  return text.str();
}

}  // namespace tavrel::testing
