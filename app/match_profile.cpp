#include "app/match_profile.h"

#include "engine/reference_engine.h"

namespace tavrel {
namespace {

std::vector<float> ValuesAt(const FloatArray& volume, int row, int column, int count) {
  const float* values = volume.data() + volume.Index(row, column, 0);
  return std::vector<float>(values, values + count);
}

// The peak as the extraction picks it: the strongest local maximum among
// indices 1 .. count - 2, the lowest index winning a tie, none at or below -1.
void ChoosePeak(MatchProfile& profile) {
  const std::vector<float>& values = profile.current.back();
  const int count = static_cast<int>(values.size());
  float best = -1.0f;
  profile.peak_index = -1;
  reference::Peak peak;
  for (int d = 1; d <= count - 2; ++d) {
    const float cur = values[d];
    if (!(cur > best && cur >= values[d - 1] && cur >= values[d + 1])) continue;
    best = cur;
    profile.peak_index = d;
    peak = reference::PeakAt(values.data(), d);
  }
  profile.offset = profile.peak_index >= 0 ? peak.offset - profile.peak_index : 0.0;
  profile.disparity = static_cast<float>(profile.min_disparity + peak.offset);
  profile.confidence = static_cast<float>(peak.confidence);
}

}  // namespace

std::optional<MatchProfile> ProfileAt(const StereoMatcher& matcher, int row, int column) {
  if (matcher.L0Ready() != 1 || !matcher.L0() || !matcher.Ln() || row < 0 || column < 0 ||
      row >= matcher.Rows() || column >= matcher.Columns() || matcher.NumDisparities() < 1) {
    return std::nullopt;
  }
  MatchProfile profile;
  profile.row = row;
  profile.column = column;
  profile.min_disparity = matcher.MinDisparity();
  profile.initial = ValuesAt(*matcher.L0(), row, column, matcher.NumDisparities());
  profile.current.push_back(ValuesAt(*matcher.Ln(), row, column, matcher.NumDisparities()));
  profile.iterations.push_back(matcher.IterationCount());
  ChoosePeak(profile);
  return profile;
}

void ProfileTracker::Follow(const StereoMatcher& matcher, int row, int column) {
  if (profile_ && profile_->row == row && profile_->column == column &&
      profile_->iterations.back() == matcher.IterationCount()) {
    return;
  }
  profile_ = ProfileAt(matcher, row, column);
}

void ProfileTracker::AfterIteration(const StereoMatcher& matcher) {
  if (!profile_) return;
  std::optional<MatchProfile> now = ProfileAt(matcher, profile_->row, profile_->column);
  if (!now) {
    profile_.reset();
    return;
  }
  now->current.insert(now->current.begin(), profile_->current.begin(), profile_->current.end());
  now->iterations.insert(now->iterations.begin(), profile_->iterations.begin(),
                         profile_->iterations.end());
  profile_ = std::move(now);
}

}  // namespace tavrel
