#include "app/qt/picture_view.h"

#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QtMath>

namespace tavrel {

QImage SurfaceToImage(const Surface& picture) {
  if (picture.empty()) return QImage();
  // Format_RGB32 is 0xffRRGGBB in memory order B, G, R, X on every platform
  // Qt supports little-endian; the X byte is forced to 0xff as the format wants.
  QImage image(picture.width, picture.height, QImage::Format_RGB32);
  for (int row = 0; row < picture.height; ++row) {
    const std::uint8_t* source = picture.Pixel(row, 0);
    auto* target = reinterpret_cast<QRgb*>(image.scanLine(row));
    for (int column = 0; column < picture.width; ++column, source += Surface::kBytesPerPixel) {
      target[column] = qRgb(source[2], source[1], source[0]);
    }
  }
  return image;
}

PictureView::PictureView(PictureViewEvents& events, QWidget* parent)
    : QWidget(parent), events_(events) {
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
  setFocusPolicy(Qt::StrongFocus);
}

void PictureView::SetPicture(const Surface& picture) {
  if (picture.empty()) return;
  SetPicture(SurfaceToImage(picture));
}

void PictureView::SetPicture(const QImage& picture) {
  if (picture.isNull()) return;
  picture_ = picture;
  // A presentation asked for while painting is drawn by that same paint.
  if (!painting_) update();
}

int PictureView::PointerRow() const { return mapFromGlobal(QCursor::pos()).y(); }

void PictureView::paintEvent(QPaintEvent* /*event*/) {
  painting_ = true;
  events_.ViewAboutToPaint();
  painting_ = false;
  if (picture_.isNull()) return;
  QPainter painter(this);
  painter.drawImage(0, 0, picture_);
}

void PictureView::mousePressEvent(QMouseEvent* event) {
  events_.ViewButtonDown(event->button(), qFloor(event->position().y()));
}

void PictureView::mouseReleaseEvent(QMouseEvent* event) { events_.ViewButtonUp(event->button()); }

void PictureView::mouseMoveEvent(QMouseEvent* event) {
  events_.ViewMouseMove(qFloor(event->position().y()));
}

}  // namespace tavrel
