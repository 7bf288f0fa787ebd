#include "display/slice_pictures.h"

#include "engine/stage_arithmetic.h"

namespace tavrel {
namespace {

constexpr double kL0SliceGain = 255.0;
constexpr double kLnSliceGain = kConfidenceGreyGain;

// Writes volume(row, c, d) * gain, capped at 255, into DisplayMap(d * repeat + k, c, 0)
// for c in 0 .. Columns-1, d in 0 .. NumDisparities-1, k in 0 .. repeat-1, through the
// guarded Set so picture rows beyond DisplayMap are dropped. Reads use the guarded Get,
// which gives 0 for a row outside the volume.
void SliceToDisplay(const FloatArray* volume, double gain, StereoMatcher& matcher, int row,
                    int repeat) {
  if (volume == nullptr || matcher.DisplayMap() == nullptr) return;
  if (row >= matcher.Rows() || matcher.Columns() < 1) return;
  FloatArray& picture = matcher.DisplayMapForWriting();
  for (int c = 0; c < matcher.Columns(); ++c) {
    for (int d = 0; d < matcher.NumDisparities(); ++d) {
      double v = static_cast<double>(volume->Get(row, c, d)) * gain;
      if (v > 255.0) v = 255.0;
      for (int k = 0; k < repeat; ++k) {
        picture.Set(d * repeat + k, c, 0, static_cast<float>(v));
      }
    }
  }
}

}  // namespace

FloatArray SliceValues(const StereoMatcher& matcher, const FloatArray& volume, int row,
                       int repeat) {
  FloatArray values(matcher.Columns(), matcher.NumDisparities() * repeat, 1);
  for (int d = 0; d < matcher.NumDisparities(); ++d) {
    for (int c = 0; c < matcher.Columns(); ++c) {
      const float v = volume.Get(row, c, d);
      for (int k = 0; k < repeat; ++k) values.At(d * repeat + k, c, 0) = v;
    }
  }
  return values;
}

void L0SliceToDisplay(StereoMatcher& matcher, int row, int repeat) {
  SliceToDisplay(matcher.L0(), kL0SliceGain, matcher, row, repeat);
}

void LnSliceToDisplay(StereoMatcher& matcher, int row, int repeat) {
  SliceToDisplay(matcher.Ln(), kLnSliceGain, matcher, row, repeat);
}

}  // namespace tavrel
