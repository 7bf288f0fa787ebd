#pragma once

#include <optional>
#include <vector>

#include "engine/stereo_matcher.h"

namespace tavrel {

// One pixel's match values along the disparity axis, and the peak the
// extraction chose from the current ones.
struct MatchProfile {
  int row = 0;
  int column = 0;
  int min_disparity = 0;
  // Indexed by disparity index d (disparity min_disparity + d).
  std::vector<float> initial;
  // The current values after each iteration seen at this pixel, oldest first;
  // the last is the matcher's Ln now.
  std::vector<std::vector<float>> current;
  std::vector<int> iterations;
  // The chosen peak's index (-1 when no index qualifies), its sub-pixel
  // position (peak_index + offset) and the resulting disparity and confidence.
  int peak_index = -1;
  double offset = 0.0;
  double disparity = 0.0;
  double confidence = 0.0;
};

// The profile at a pixel of a computed matcher, with the current values as
// its one curve; nothing for a pixel outside the image or before a job ran.
std::optional<MatchProfile> ProfileAt(const StereoMatcher& matcher, int row, int column);

// The profile panel's data: follows a pixel, and keeps the curve of every
// iteration run while it stays on that pixel.
class ProfileTracker {
 public:
  // A new pixel starts with its L0 and current curves alone; the same pixel
  // keeps its curves.
  void Follow(const StereoMatcher& matcher, int row, int column);
  // After an iteration: adds the pixel's new current curve and peak.
  void AfterIteration(const StereoMatcher& matcher);
  void Clear() { profile_.reset(); }

  const std::optional<MatchProfile>& profile() const { return profile_; }

 private:
  std::optional<MatchProfile> profile_;
};

}  // namespace tavrel
