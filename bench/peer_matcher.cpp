#include "bench/peer_matcher.h"

#include <algorithm>
#include <chrono>

#ifdef TAVREL_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#endif

namespace tavrel::bench {

#ifdef TAVREL_HAVE_OPENCV
namespace {

cv::Mat ToMat(const FloatArray& image) {
  const int bands = image.bands() >= 3 ? 3 : 1;
  cv::Mat mat(image.rows(), image.columns(), bands == 3 ? CV_8UC3 : CV_8UC1);
  for (int r = 0; r < image.rows(); ++r) {
    auto* row = mat.ptr<unsigned char>(r);
    for (int c = 0; c < image.columns(); ++c) {
      for (int b = 0; b < bands; ++b) {
        row[c * bands + b] =
            static_cast<unsigned char>(std::clamp(image.At(r, c, b), 0.0f, 255.0f));
      }
    }
  }
  return mat;
}

}  // namespace

bool HavePeerMatcher() { return true; }

double TimePeerMatcher(const FloatArray& image0, const FloatArray& image1, int minDisparity,
                       int maxDisparity, int repeats) {
  const cv::Mat left = ToMat(image0);
  const cv::Mat right = ToMat(image1);
  const int channels = left.channels();
  const int block = 5;
  // Our cell d pairs column c of image 0 with c + d of image 1; OpenCV's
  // disparity D pairs c of the left view with c - D of the right one.
  const int cvMin = -(maxDisparity - 1);
  const int count = ((maxDisparity - minDisparity + 15) / 16) * 16;
  auto sgbm = cv::StereoSGBM::create(cvMin, count, block, 8 * channels * block * block,
                                     32 * channels * block * block);
  cv::Mat disparity;
  double best = 1e30;
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    sgbm->compute(left, right, disparity);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

#else

bool HavePeerMatcher() { return false; }

double TimePeerMatcher(const FloatArray&, const FloatArray&, int, int, int) { return -1.0; }

#endif

}  // namespace tavrel::bench
