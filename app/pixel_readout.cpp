#include "app/pixel_readout.h"

#include <cmath>
#include <cstdio>

#include "app/application.h"

namespace tavrel {
namespace {

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string ImageValues(const FloatArray& image, int row, int column) {
  if (image.bands() < 3) return "image 0 " + Format("%g", image.At(row, column, 0));
  return "image 0 B " + Format("%g", image.At(row, column, 0)) + " G " +
         Format("%g", image.At(row, column, 1)) + " R " + Format("%g", image.At(row, column, 2));
}

std::string PixelText(const AppState& state, int row, int column) {
  const StereoMatcher& matcher = state.Matcher;
  const FloatArray* image0 = state.ImageArrays.image0.get();
  if (image0 == nullptr || row < 0 || column < 0 || row >= image0->rows() ||
      column >= image0->columns()) {
    return std::string();
  }
  std::string text = "row " + std::to_string(row) + "  column " + std::to_string(column) + "   " +
                     ImageValues(*image0, row, column);
  if (matcher.L0Ready() == 1 && matcher.DispConf() && row < matcher.DispConf()->rows() &&
      column < matcher.DispConf()->columns()) {
    text += "   disparity " + Format("%.3f", matcher.DispConf()->At(row, column, 0)) +
            "  confidence " + Format("%.4f", matcher.DispConf()->At(row, column, 1));
    const FloatArray* truth = state.GroundTruth.get();
    if (truth != nullptr && row < truth->rows() && column < truth->columns()) {
      const double known = truth->At(row, column, 0);
      if (std::isfinite(known)) {
        // The error in the ground truth's sign: the estimate is -disparity there.
        text +=
            "   gt " + Format("%.3f", known) + "  error " +
            Format("%+.3f", -static_cast<double>(matcher.DispConf()->At(row, column, 0)) - known);
      } else {
        text += "   gt unknown";
      }
    }
  }
  return text;
}

std::string SliceText(const AppState& state, const FloatArray* volume, const char* name,
                      PicturePoint point) {
  const StereoMatcher& matcher = state.Matcher;
  const int row = state.SliceRow;
  if (volume == nullptr || row < 0 || row >= matcher.Rows() || point.column < 0 ||
      point.column >= matcher.Columns() || point.row < 0) {
    return std::string();
  }
  std::string text = std::string(name) + " slice of row " + std::to_string(row) + "  column " +
                     std::to_string(point.column);
  const int index = point.row / kSlicePictureRowsPerDisparity;
  if (index < matcher.NumDisparities()) {
    text += "  disparity index " + std::to_string(index) + " (disparity " +
            std::to_string(matcher.MinDisparity() + index) + ")  value " +
            Format("%.4f", volume->At(row, point.column, index));
  }
  return text;
}

}  // namespace

std::string PixelReadout(const AppState& state, PicturePoint point) {
  if (state.DirectionsLoaded != 1) return std::string();
  const bool slice_held = state.LeftButtonDown == 1 || state.RightButtonDown == 1;
  if (slice_held && state.Matcher.L0Ready() == 1) {
    if (state.Shown == ShownView::L0Slice) {
      return SliceText(state, state.Matcher.L0(), "L0", point);
    }
    if (state.Shown == ShownView::LnSlice) {
      return SliceText(state, state.Matcher.Ln(), "Ln", point);
    }
  }
  return PixelText(state, point.row, point.column);
}

}  // namespace tavrel
