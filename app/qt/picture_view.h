#pragma once

#include <QImage>
#include <QWidget>

#include "display/surface.h"

namespace tavrel {

// What the picture view reports: painting and the mouse, each with the
// pointer's row in the view (the client area).
class PictureViewEvents {
 public:
  virtual ~PictureViewEvents() = default;
  virtual void ViewAboutToPaint() = 0;
  virtual void ViewButtonDown(Qt::MouseButton button, int row) = 0;
  virtual void ViewButtonUp(Qt::MouseButton button) = 0;
  virtual void ViewMouseMove(int row) = 0;
};

// The client area: shows the last presented picture unscaled at its top-left
// corner over the window background.
class PictureView : public QWidget {
 public:
  PictureView(PictureViewEvents& events, QWidget* parent = nullptr);

  // Takes a copy of the picture and repaints; an empty picture changes nothing.
  void SetPicture(const Surface& picture);
  void SetPicture(const QImage& picture);
  const QImage& picture() const { return picture_; }

  // The pointer's row in the view right now.
  int PointerRow() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  PictureViewEvents& events_;
  QImage picture_;
  bool painting_ = false;
};

// A BGRX surface as an opaque 32-bit image (the X byte does not reach the screen).
QImage SurfaceToImage(const Surface& picture);

}  // namespace tavrel
