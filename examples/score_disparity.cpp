// Compares an output file with a ground-truth disparity map.
//
//   tavrel-score RESULT.dis GROUND_TRUTH.pfm [--mask MASK.pgm] [--border N] [--same-sign]
//
// The ground truth is taken in the usual sign of such maps (a point at column
// x of image 0 shows at x - D in image 1), which is minus the program's own
// disparity, unless --same-sign is given. Pixels with a ground truth that is
// not finite, pixels within N of the border (default 10) and, with a mask,
// pixels where the mask is 0 are left out. Prints the share of the remaining
// pixels whose error exceeds 0.5, 1, 2 and 4 pixels ("bad T").

#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "display/image_loading.h"
#include "files/pfm_file.h"

namespace {

bool ReadOutputFile(const std::string& name, int& columns, int& rows, std::vector<float>& disp) {
  std::ifstream in(name);
  if (!(in >> columns >> rows) || columns <= 0 || rows <= 0) return false;
  disp.resize(static_cast<std::size_t>(columns) * rows);
  float confidence = 0.0f;
  for (float& d : disp) {
    if (!(in >> d >> confidence)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  std::string mask;
  int border = 10;
  double sign = -1.0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--mask" && i + 1 < argc) {
      mask = argv[++i];
    } else if (a == "--border" && i + 1 < argc) {
      border = std::stoi(argv[++i]);
    } else if (a == "--same-sign") {
      sign = 1.0;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) {
    std::cerr << "usage: tavrel-score RESULT.dis GROUND_TRUTH.pfm [--mask MASK.pgm] [--border N]"
                 " [--same-sign]\n";
    return 1;
  }
  int columns = 0, rows = 0;
  std::vector<float> disparity;
  if (!ReadOutputFile(positional[0], columns, rows, disparity)) {
    std::cerr << "tavrel-score: cannot read " << positional[0] << "\n";
    return 1;
  }
  const auto truth = tavrel::ReadPfm(positional[1]);
  if (!truth || truth->columns() != columns || truth->rows() != rows) {
    std::cerr << "tavrel-score: cannot read " << positional[1] << " at " << columns << " x " << rows
              << "\n";
    return 1;
  }
  std::unique_ptr<tavrel::FloatArray> maskGrid;
  if (!mask.empty()) {
    try {
      maskGrid = tavrel::LoadImageGrid(mask, 1);
    } catch (const std::exception& error) {
      std::cerr << "tavrel-score: cannot read " << mask << "\n" << error.what() << "\n";
      return 1;
    }
    if (maskGrid->columns() != columns || maskGrid->rows() != rows) {
      std::cerr << "tavrel-score: cannot read " << mask << " at " << columns << " x " << rows
                << "\n";
      return 1;
    }
  }
  const double thresholds[] = {0.5, 1.0, 2.0, 4.0};
  long counted = 0, bad[4] = {0, 0, 0, 0};
  for (int r = border; r < rows - border; ++r) {
    for (int c = border; c < columns - border; ++c) {
      const double gt = truth->At(r, c, 0);
      if (!std::isfinite(gt) || (maskGrid && maskGrid->At(r, c, 0) == 0.0f)) continue;
      const double error =
          std::fabs(sign * disparity[static_cast<std::size_t>(r) * columns + c] - gt);
      ++counted;
      for (int k = 0; k < 4; ++k) bad[k] += error > thresholds[k];
    }
  }
  if (counted == 0) {
    std::cerr << "tavrel-score: no pixel to compare\n";
    return 1;
  }
  std::printf("%ld pixels:", counted);
  for (int k = 0; k < 4; ++k)
    std::printf("  bad %.1f = %.2f %%", thresholds[k], 100.0 * bad[k] / counted);
  std::printf("\n");
  return 0;
}
