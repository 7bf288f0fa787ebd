#include "bench/bench_scenes.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <random>

#include "files/directions_reader.h"
#include "imageio/image_loading.h"

namespace tavrel::bench {

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

ImagePair TexturedPlanes(int columns, int rows, int bands, int pad,
                         const std::function<int(int row)>& disparityOfRow) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> noise(0.0f, 1.0f);
  FloatArray texture(columns + 2 * pad, rows, bands);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < texture.columns(); ++c) {
      for (int b = 0; b < bands; ++b) {
        const float smooth =
            127.0f + 60.0f * std::sin(0.07f * c + 1.3f * b) * std::cos(0.05f * r - 0.7f * b);
        texture.At(r, c, b) = std::floor(std::clamp(smooth + 60.0f * noise(rng), 0.0f, 255.0f));
      }
    }
  }
  ImagePair pair{std::make_unique<FloatArray>(columns, rows, bands),
                 std::make_unique<FloatArray>(columns, rows, bands)};
  for (int r = 0; r < rows; ++r) {
    const int disparity = disparityOfRow(r);
    for (int c = 0; c < columns; ++c) {
      for (int b = 0; b < bands; ++b) {
        pair.image0->At(r, c, b) = texture.At(r, c + pad, b);
        const int source = std::clamp(c - disparity + pad, 0, texture.columns() - 1);
        pair.image1->At(r, c, b) = texture.At(r, source, b);
      }
    }
  }
  return pair;
}

bool LoadFirstEntry(const std::filesystem::path& dir, StereoJob& job, ImagePair& images) {
  std::ifstream in(dir / "scene.cpd");
  if (!in) return false;
  try {
    DirectionsReader reader(in);
    if (!reader.Next(job)) return false;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", (dir / "scene.cpd").c_str(), e.what());
    return false;
  }
  try {
    images.image0 = LoadImageGrid((dir / job.Image0Name).string(), job.NumBands);
    images.image1 = LoadImageGrid((dir / job.Image1Name).string(), job.NumBands);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", dir.c_str(), e.what());
    return false;
  }
  return true;
}

}  // namespace tavrel::bench
