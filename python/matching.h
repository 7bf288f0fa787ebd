#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <optional>

#include "engine/stereo_matcher.h"
#include "python/image_arrays.h"

namespace tavrel::python {

// The keywords of match and Matcher, named as the directions file's fields.
struct MatchParameters {
  int minDisparity = 0;
  int maxDisparity = 0;
  int winRadL0 = 1;
  int winRadRC = 2;
  int winRadD = 1;
  int iterations = 10;
  float maxScaler = 0.96f;
  bool useSad = true;
  std::optional<int> threads;
  pybind11::object progress;
  ChannelOrder channelOrder = ChannelOrder::Bgr;
};

// What match returns and read_output reads: the two maps, and the iterations
// they result from when known (None otherwise).
struct MatchResult {
  pybind11::array_t<float> disparity;
  pybind11::array_t<float> confidence;
  pybind11::object iterations;
};

// A matcher that keeps its volumes. The volumes are allocated once, by the
// job the constructor runs; later calls change their values in place, so
// views of them stay valid for as long as they keep the Matcher alive.
struct Matcher {
  std::mutex busy;  // one computation at a time; Python threads may share it
  StereoMatcher engine;
};

// Runs the job on `matcher`, keeping its volumes, with the GIL released:
// converts the images, refuses what the engine cannot use (ValueError,
// TypeError, MemoryError, a bad TAVREL_ISA) before any work, reports progress
// and stops on Ctrl-C.
void RunJob(StereoMatcher& matcher, const pybind11::handle& left, const pybind11::handle& right,
            const MatchParameters& parameters);

// The same job run for its results alone: the streamed pass (or where that
// would take more memory, the volume engine), no volumes kept. The same bits
// as RunJob.
void RunResultsOnly(StereoMatcher& matcher, const pybind11::handle& left,
                    const pybind11::handle& right, const MatchParameters& parameters);

void BindMatching(pybind11::module_& module);

}  // namespace tavrel::python
