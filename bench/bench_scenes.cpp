#include "bench/bench_scenes.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <random>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "files/directions_reader.h"
#include "imageio/image_loading.h"

namespace tavrel::bench {

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double TriadBandwidth(std::size_t count, int threads) {
#ifdef _OPENMP
  if (threads <= 0) threads = omp_get_max_threads();
#else
  threads = 1;
#endif
  std::vector<float> a(count), b(count, 1.0f), c(count, 2.0f);
  const float s = 3.0f;
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(count);
  auto triad = [&] {
#pragma omp parallel for num_threads(threads) schedule(static)
    for (std::ptrdiff_t i = 0; i < n; ++i) a[i] = b[i] + s * c[i];
  };
  triad();
  double best = 1e30;
  for (int run = 0; run < 7; ++run) best = std::min(best, Seconds(triad));
  return 3.0 * sizeof(float) * static_cast<double>(count) / best;
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
