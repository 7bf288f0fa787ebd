#include "app/view_transform.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tavrel {
namespace {

// Steps that keep whole pixels in step at the common zooms.
constexpr std::array<double, 19> kZoomSteps = {
    1.0 / 16, 1.0 / 12, 1.0 / 8, 1.0 / 6, 1.0 / 4, 1.0 / 3, 1.0 / 2, 2.0 / 3, 1.0, 1.5,
    2.0,      3.0,      4.0,     6.0,     8.0,     12.0,    16.0,    24.0,    32.0};

// Zooms closer than this count as the same step.
constexpr double kSameZoom = 1e-9;

int Scaled(int size, double zoom) {
  if (size <= 0) return 0;
  return std::max(1, static_cast<int>(std::lround(size * zoom)));
}

}  // namespace

void ViewTransform::SetPictureSize(int width, int height) {
  picture_width_ = std::max(0, width);
  picture_height_ = std::max(0, height);
  ClampScroll();
}

void ViewTransform::SetViewSize(int width, int height) {
  view_width_ = std::max(0, width);
  view_height_ = std::max(0, height);
  ClampScroll();
}

int ViewTransform::ScaledWidth() const { return Scaled(picture_width_, zoom_); }
int ViewTransform::ScaledHeight() const { return Scaled(picture_height_, zoom_); }
int ViewTransform::MaximumScrollX() const { return std::max(0, ScaledWidth() - view_width_); }
int ViewTransform::MaximumScrollY() const { return std::max(0, ScaledHeight() - view_height_); }

void ViewTransform::ZoomTo(double zoom, double anchor_x, double anchor_y) {
  zoom = std::clamp(zoom, kMinimumZoom, kMaximumZoom);
  // The picture point under the anchor, in unscaled picture pixels.
  const double picture_x = (anchor_x + scroll_x_) / zoom_;
  const double picture_y = (anchor_y + scroll_y_) / zoom_;
  zoom_ = zoom;
  scroll_x_ = static_cast<int>(std::lround(picture_x * zoom_ - anchor_x));
  scroll_y_ = static_cast<int>(std::lround(picture_y * zoom_ - anchor_y));
  ClampScroll();
}

void ViewTransform::ZoomIn(double anchor_x, double anchor_y) {
  const auto next = std::find_if(kZoomSteps.begin(), kZoomSteps.end(),
                                 [this](double step) { return step > zoom_ + kSameZoom; });
  if (next != kZoomSteps.end()) ZoomTo(*next, anchor_x, anchor_y);
}

void ViewTransform::ZoomOut(double anchor_x, double anchor_y) {
  const auto next = std::find_if(kZoomSteps.rbegin(), kZoomSteps.rend(),
                                 [this](double step) { return step < zoom_ - kSameZoom; });
  if (next != kZoomSteps.rend()) ZoomTo(*next, anchor_x, anchor_y);
}

void ViewTransform::FitTo(int view_width, int view_height) {
  if (picture_width_ <= 0 || picture_height_ <= 0 || view_width <= 0 || view_height <= 0) return;
  // Rounding the scaled size must not make it a pixel too large for the view.
  double zoom = std::min(static_cast<double>(view_width) / picture_width_,
                         static_cast<double>(view_height) / picture_height_);
  zoom = std::clamp(zoom, kMinimumZoom, kMaximumZoom);
  while (zoom > kMinimumZoom && (Scaled(picture_width_, zoom) > view_width ||
                                 Scaled(picture_height_, zoom) > view_height)) {
    zoom = std::nextafter(zoom, 0.0);
  }
  zoom_ = zoom;
  scroll_x_ = 0;
  scroll_y_ = 0;
  ClampScroll();
}

void ViewTransform::OneToOne() {
  zoom_ = 1.0;
  ClampScroll();
}

void ViewTransform::ScrollTo(int x, int y) {
  scroll_x_ = x;
  scroll_y_ = y;
  ClampScroll();
}

PicturePoint ViewTransform::PictureAt(double x, double y) const {
  return {static_cast<int>(std::floor((y + scroll_y_) / zoom_)),
          static_cast<int>(std::floor((x + scroll_x_) / zoom_))};
}

double ViewTransform::ViewYOfRow(int row) const { return row * zoom_ - scroll_y_; }

void ViewTransform::ClampScroll() {
  scroll_x_ = std::clamp(scroll_x_, 0, MaximumScrollX());
  scroll_y_ = std::clamp(scroll_y_, 0, MaximumScrollY());
}

}  // namespace tavrel
