// Renders the bundled example: a synthetic rectified stereo pair of textured,
// fronto-parallel and slanted surfaces at several depths, with the occlusions
// their edges cause, together with its true disparities and a directions file.
//
//   make_scene OUTPUT_FOLDER
//
// writes left.bmp (image 0), right.bmp (image 1), ground_truth.pfm and
// scene.cpd. A point at column x of the left view shows at column x - D in the
// right view; D > 0 is what ground_truth.pfm holds. In the program's own sign
// pixel (r, c) of image 0 matches pixel (r, c + d) of image 1, so d = -D.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include "engine/float_array.h"
#include "files/pfm_writing.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

struct Colour {
  double blue, green, red;
};

std::uint32_t Hash(std::int64_t x, std::int64_t y, std::uint32_t seed) {
  std::uint64_t h = static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ull ^
                    static_cast<std::uint64_t>(y) * 0xC2B2AE3D27D4EB4Full ^ seed * 0x165667B1ull;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return static_cast<std::uint32_t>(h);
}

// Value noise: random lattice values every `cell` pixels, bilinearly joined,
// so that a surface can be sampled at any sub-pixel position.
double Noise(double x, double y, double cell, std::uint32_t seed) {
  const double u = x / cell, v = y / cell;
  const double fu = std::floor(u), fv = std::floor(v);
  const double a = u - fu, b = v - fv;
  auto at = [&](int dx, int dy) {
    return (Hash(static_cast<std::int64_t>(fu) + dx, static_cast<std::int64_t>(fv) + dy, seed) &
            0xFFFF) /
           65535.0;
  };
  return (1 - a) * (1 - b) * at(0, 0) + a * (1 - b) * at(1, 0) + (1 - a) * b * at(0, 1) +
         a * b * at(1, 1);
}

// One surface: where it lies in the left view, its disparity there, its texture.
struct Layer {
  virtual ~Layer() = default;
  virtual bool Covers(double xLeft, double y) const = 0;
  virtual double Disparity(double xLeft) const = 0;
  // The left-view column that shows at column xRight of the right view.
  virtual double LeftColumn(double xRight) const = 0;
  std::uint32_t seed = 0;
  Colour tint{1, 1, 1};

  Colour Texture(double xLeft, double y) const {
    const double fine = Noise(xLeft, y, 1.7, seed);
    const double coarse = Noise(xLeft, y, 9.0, seed + 1);
    const double level = 40 + 150 * (0.65 * fine + 0.35 * coarse);
    return {level * tint.blue, level * tint.green, level * tint.red};
  }
};

struct FlatLayer : Layer {
  double disparity, left, top, right, bottom;
  bool round = false;
  FlatLayer(double d, double l, double t, double r, double b, bool isRound = false)
      : disparity(d), left(l), top(t), right(r), bottom(b), round(isRound) {}
  bool Covers(double x, double y) const override {
    if (!round) return x >= left && x < right && y >= top && y < bottom;
    const double cx = (left + right) / 2, cy = (top + bottom) / 2;
    const double rx = (right - left) / 2, ry = (bottom - top) / 2;
    return (x - cx) * (x - cx) / (rx * rx) + (y - cy) * (y - cy) / (ry * ry) <= 1.0;
  }
  double Disparity(double) const override { return disparity; }
  double LeftColumn(double xRight) const override { return xRight + disparity; }
};

// Disparity rising linearly with the column: D = a + b x.
struct SlantedLayer : Layer {
  double a, b, left, top, right, bottom;
  SlantedLayer(double a_, double b_, double l, double t, double r, double bt)
      : a(a_), b(b_), left(l), top(t), right(r), bottom(bt) {}
  bool Covers(double x, double y) const override {
    return x >= left && x < right && y >= top && y < bottom;
  }
  double Disparity(double x) const override { return a + b * x; }
  double LeftColumn(double xRight) const override { return (xRight + a) / (1 - b); }
};

void WriteBmp(const std::string& file, const std::vector<Colour>& picture) {
  const int stride = (kWidth * 3 + 3) / 4 * 4;
  const std::uint32_t offset = 54, size = offset + stride * kHeight;
  std::vector<std::uint8_t> bytes = {'B', 'M'};
  auto put = [&](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) bytes.push_back((v >> (8 * i)) & 255);
  };
  put(size, 4), put(0, 4), put(offset, 4), put(40, 4), put(kWidth, 4), put(kHeight, 4);
  put(1, 2), put(24, 2), put(0, 4), put(stride * kHeight, 4), put(2835, 4), put(2835, 4);
  put(0, 4), put(0, 4);
  for (int r = kHeight - 1; r >= 0; --r) {  // bottom-up
    for (int c = 0; c < kWidth; ++c) {
      const Colour& p = picture[r * kWidth + c];
      for (double v : {p.blue, p.green, p.red}) {
        bytes.push_back(static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0))));
      }
    }
    for (int k = kWidth * 3; k < stride; ++k) bytes.push_back(0);
  }
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_scene OUTPUT_FOLDER\n";
    return 1;
  }
  const std::filesystem::path folder(argv[1]);
  std::filesystem::create_directories(folder);

  // Back to front; every layer hides the ones before it.
  std::vector<std::unique_ptr<Layer>> layers;
  layers.push_back(std::make_unique<FlatLayer>(5, -100, -100, kWidth + 100, kHeight + 100));
  layers.push_back(std::make_unique<SlantedLayer>(6, 0.03, 20, 150, 300, 230));
  layers.push_back(std::make_unique<FlatLayer>(12, 40, 30, 150, 130));
  layers.push_back(std::make_unique<FlatLayer>(17, 180, 40, 290, 140, true));
  layers.push_back(std::make_unique<FlatLayer>(24, 110, 90, 200, 190));
  const Colour tints[] = {
      {1, 1, 1}, {0.7, 1, 0.8}, {1, 0.6, 0.5}, {0.5, 0.8, 1.1}, {0.9, 0.9, 0.4}};
  for (std::size_t i = 0; i < layers.size(); ++i) {
    layers[i]->seed = static_cast<std::uint32_t>(11 * i + 3);
    layers[i]->tint = tints[i];
  }

  std::vector<Colour> left(kWidth * kHeight), right(kWidth * kHeight);
  tavrel::FloatArray truth(kWidth, kHeight, 1);
  for (int r = 0; r < kHeight; ++r) {
    for (int c = 0; c < kWidth; ++c) {
      for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
        if ((*it)->Covers(c, r)) {
          left[r * kWidth + c] = (*it)->Texture(c, r);
          truth.At(r, c, 0) = static_cast<float>((*it)->Disparity(c));
          break;
        }
      }
      // In the right view the nearest surface whose point lands here wins.
      for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
        const double x = (*it)->LeftColumn(c);
        if ((*it)->Covers(x, r)) {
          right[r * kWidth + c] = (*it)->Texture(x, r);
          break;
        }
      }
    }
  }

  WriteBmp((folder / "left.bmp").string(), left);
  WriteBmp((folder / "right.bmp").string(), right);
  if (!tavrel::WritePfm(truth, 0, (folder / "ground_truth.pfm").string())) {
    std::cerr << "make_scene: could not write ground_truth.pfm\n";
    return 1;
  }
  std::ofstream((folder / "scene.cpd").string()) << "left.bmp right.bmp 3\n"
                                                    "MinDisparity \t-28\n"
                                                    "MaxDisparity \t-1\n"
                                                    "WinRadL0 \t1\n"
                                                    "WinRadRC \t2\n"
                                                    "WinRadD \t1\n"
                                                    "NumIterations \t10\n"
                                                    "MaxScaler \t0.96\n"
                                                    "USE_SAD \t1\n"
                                                    "Output File \tscene.dis\n";
  std::cout << "make_scene: wrote left.bmp, right.bmp, ground_truth.pfm and scene.cpd into "
            << folder.string() << "\n";
  return 0;
}
