#pragma once

namespace tavrel {

// A picture pixel: row from the top, column from the left. Either may lie
// outside the picture.
struct PicturePoint {
  int row = 0;
  int column = 0;
};

// How the picture lies in the view: scaled by zoom(), and scrolled so that
// the scaled picture's pixel (scroll_x(), scroll_y()) is at the view's
// top-left corner. A scaled picture smaller than the view sits at the top-left
// corner with no scroll. Free of any toolkit, so that the arithmetic is tested
// without a screen.
class ViewTransform {
 public:
  // The zoom steps of ZoomIn and ZoomOut, and the limits of every zoom.
  static constexpr double kMinimumZoom = 1.0 / 16;
  static constexpr double kMaximumZoom = 32.0;

  double zoom() const { return zoom_; }
  int scroll_x() const { return scroll_x_; }
  int scroll_y() const { return scroll_y_; }
  int picture_width() const { return picture_width_; }
  int picture_height() const { return picture_height_; }

  // The sizes in pixels; the scroll is kept inside the new limits.
  void SetPictureSize(int width, int height);
  void SetViewSize(int width, int height);

  // The picture at the given size, rounded, never below one pixel for a
  // picture that has any.
  int ScaledWidth() const;
  int ScaledHeight() const;
  int MaximumScrollX() const;
  int MaximumScrollY() const;

  // Changes the zoom keeping the picture point under the view point
  // (anchor_x, anchor_y) where it is, as far as the scroll limits allow.
  void ZoomTo(double zoom, double anchor_x, double anchor_y);
  // The next step up or down from the current zoom.
  void ZoomIn(double anchor_x, double anchor_y);
  void ZoomOut(double anchor_x, double anchor_y);
  // The largest zoom at which the whole picture fits a view of this size (which
  // may be larger than the current view, for a view whose scroll bars go away).
  void FitTo(int view_width, int view_height);
  void OneToOne();

  void ScrollTo(int x, int y);
  void ScrollBy(int dx, int dy) { ScrollTo(scroll_x_ + dx, scroll_y_ + dy); }

  // The picture pixel under a point of the view (in view pixels, fractions
  // allowed); at zoom 1 without scroll, simply the point's row and column.
  PicturePoint PictureAt(double x, double y) const;
  // The view's y of a picture row's top edge.
  double ViewYOfRow(int row) const;

 private:
  void ClampScroll();

  double zoom_ = 1.0;
  int scroll_x_ = 0;
  int scroll_y_ = 0;
  int picture_width_ = 0;
  int picture_height_ = 0;
  int view_width_ = 0;
  int view_height_ = 0;
};

}  // namespace tavrel
