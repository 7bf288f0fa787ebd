#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/float_array.h"
#include "files/stereo_job.h"

// What both benches share: timing, the machine's load, and their scenes.

namespace tavrel::bench {

// Wall-clock seconds that `work` takes.
double Seconds(const std::function<void()>& work);

// The middle value (the mean of the middle two for an even count).
double Median(std::vector<double> values);

// STREAM's triad a = b + s * c over three arrays of `count` floats on
// `threads` threads (0: all), the best of 7; bytes per second counting two
// reads and one write per element.
double TriadBandwidth(std::size_t count, int threads = 0);

// The load averages over 1, 5 and 15 minutes, as /proc/loadavg gives them.
std::string LoadAverage();

struct ImagePair {
  std::unique_ptr<FloatArray> image0;
  std::unique_ptr<FloatArray> image1;
};

// Textured planes of `bands` bands: smooth colour waves on noise (the same
// every time), image 1 shifted by disparityOfRow(r) along row r. The texture
// reaches `pad` columns beyond either side, so that shifts up to `pad` take
// texture rather than repeated edge columns.
ImagePair TexturedPlanes(int columns, int rows, int bands, int pad,
                         const std::function<int(int row)>& disparityOfRow);

// The first entry of DIR/scene.cpd and its images. False, with the reason on
// standard error, when the file or an image cannot be read.
bool LoadFirstEntry(const std::filesystem::path& dir, StereoJob& job, ImagePair& images);

}  // namespace tavrel::bench
