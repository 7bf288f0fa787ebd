#pragma once

#include <QImage>
#include <QPoint>
#include <QWidget>
#include <functional>

#include "app/view_transform.h"
#include "imageio/surface.h"

class QScrollBar;

namespace tavrel {

// What the picture view reports: painting and the mouse, each with the picture
// pixel under the pointer (the client row at zoom 1 without scroll).
class PictureViewEvents {
 public:
  virtual ~PictureViewEvents() = default;
  virtual void ViewAboutToPaint() = 0;
  virtual void ViewButtonDown(Qt::MouseButton button, PicturePoint point) = 0;
  virtual void ViewButtonUp(Qt::MouseButton button) = 0;
  virtual void ViewMouseMove(PicturePoint point) = 0;
  virtual void ViewPointerLeft() = 0;
};

// The picture area: shows the last presented picture at its zoom and scroll
// over the window background, with the marked row drawn over it on the screen
// only. Ctrl+wheel zooms about the pointer, the wheel scrolls, the middle
// button drags the picture.
class PictureView : public QWidget {
 public:
  PictureView(PictureViewEvents& events, QWidget* parent = nullptr);

  // Takes a copy of the picture and repaints; an empty picture changes nothing.
  void SetPicture(const Surface& picture);
  void SetPicture(const QImage& picture);
  const QImage& picture() const { return picture_; }

  const ViewTransform& transform() const { return transform_; }
  // Zoom and scroll; each repaints and reports the change.
  void ZoomIn();
  void ZoomOut();
  void ZoomAbout(bool in, QPointF anchor);
  void FitTo(QSize area);
  void OneToOne();
  void ScrollTo(int x, int y);

  // The row marked over the picture, -1 for none.
  void SetMarkedRow(int row);
  int markedRow() const { return marked_row_; }

  // The picture pixel under the pointer right now; its row is what the
  // commands take as the pointer row.
  PicturePoint PointerPixel() const;
  int PointerRow() const { return PointerPixel().row; }

  // Called after every change of zoom, scroll or picture size.
  void OnTransformChanged(std::function<void()> callback) { changed_ = std::move(callback); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void Changed();
  QPointF PointerPosition() const;

  PictureViewEvents& events_;
  QImage picture_;
  ViewTransform transform_;
  int marked_row_ = -1;
  bool painting_ = false;
  bool dragging_ = false;
  QPoint drag_from_;
  std::function<void()> changed_;
};

// A BGRX surface as an opaque 32-bit image (the X byte does not reach the screen).
QImage SurfaceToImage(const Surface& picture);

}  // namespace tavrel
