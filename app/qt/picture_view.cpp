#include "app/qt/picture_view.h"

#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <QtMath>

namespace tavrel {
namespace {

// The mark's colour: seen on grey and on both colour maps.
const QColor kMarkColour(255, 0, 255, 200);

}  // namespace

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
  setMouseTracking(true);
}

void PictureView::SetPicture(const Surface& picture) {
  if (picture.empty()) return;
  SetPicture(SurfaceToImage(picture));
}

void PictureView::SetPicture(const QImage& picture) {
  if (picture.isNull()) return;
  const bool resized = picture.size() != picture_.size();
  picture_ = picture;
  if (resized) {
    transform_.SetPictureSize(picture_.width(), picture_.height());
    Changed();
  }
  // A presentation asked for while painting is drawn by that same paint.
  if (!painting_) update();
}

void PictureView::ZoomIn() { ZoomAbout(true, PointerPosition()); }
void PictureView::ZoomOut() { ZoomAbout(false, PointerPosition()); }

void PictureView::ZoomAbout(bool in, QPointF anchor) {
  if (in) {
    transform_.ZoomIn(anchor.x(), anchor.y());
  } else {
    transform_.ZoomOut(anchor.x(), anchor.y());
  }
  Changed();
}

void PictureView::FitTo(QSize area) {
  transform_.FitTo(area.width(), area.height());
  Changed();
}

void PictureView::OneToOne() {
  transform_.OneToOne();
  Changed();
}

void PictureView::ScrollTo(int x, int y) {
  if (x == transform_.scroll_x() && y == transform_.scroll_y()) return;
  transform_.ScrollTo(x, y);
  Changed();
}

void PictureView::SetMarkedRow(int row) {
  if (row == marked_row_) return;
  marked_row_ = row;
  if (!painting_) update();
}

PicturePoint PictureView::PointerPixel() const {
  const QPointF at = mapFromGlobal(QCursor::pos().toPointF());
  return transform_.PictureAt(at.x(), at.y());
}

QPointF PictureView::PointerPosition() const {
  const QPointF at = mapFromGlobal(QCursor::pos().toPointF());
  // Keys zoom about the pointer when it is over the view, else the centre.
  if (rect().contains(at.toPoint())) return at;
  return QPointF(width() / 2.0, height() / 2.0);
}

void PictureView::Changed() {
  if (changed_) changed_();
  if (!painting_) update();
}

void PictureView::paintEvent(QPaintEvent* /*event*/) {
  painting_ = true;
  events_.ViewAboutToPaint();
  painting_ = false;
  if (picture_.isNull()) return;
  QPainter painter(this);
  const QRectF target(-transform_.scroll_x(), -transform_.scroll_y(), transform_.ScaledWidth(),
                      transform_.ScaledHeight());
  // Nearest neighbour: every picture pixel stays one flat square.
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(target, picture_, QRectF(picture_.rect()));
  if (marked_row_ >= 0 && marked_row_ < picture_.height()) {
    const double top = transform_.ViewYOfRow(marked_row_);
    const double height = std::max(1.0, transform_.zoom());
    const double right = std::min<double>(width(), target.right());
    // A frame around the row, so that its own pixels stay visible.
    painter.setPen(QPen(kMarkColour, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(target.left() - 1, top - 1, right - target.left() + 1, height + 1));
  }
}

void PictureView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  transform_.SetViewSize(width(), height());
  if (changed_) changed_();
}

void PictureView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::MiddleButton) {
    dragging_ = true;
    drag_from_ = event->position().toPoint();
    setCursor(Qt::ClosedHandCursor);
    return;
  }
  const QPointF at = event->position();
  events_.ViewButtonDown(event->button(), transform_.PictureAt(at.x(), at.y()));
}

void PictureView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::MiddleButton) {
    dragging_ = false;
    unsetCursor();
    return;
  }
  events_.ViewButtonUp(event->button());
}

void PictureView::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (dragging_) {
    const QPoint moved = at - drag_from_;
    drag_from_ = at;
    ScrollTo(transform_.scroll_x() - moved.x(), transform_.scroll_y() - moved.y());
  }
  events_.ViewMouseMove(transform_.PictureAt(event->position().x(), event->position().y()));
}

void PictureView::wheelEvent(QWheelEvent* event) {
  const QPoint steps = event->angleDelta() / 120;
  if (event->modifiers() & Qt::ControlModifier) {
    if (steps.y() != 0) ZoomAbout(steps.y() > 0, event->position());
  } else {
    // Three lines of 20 pixels a notch, as scroll areas move.
    const QPoint pixels = event->angleDelta() / 2;
    const bool sideways = event->modifiers() & Qt::ShiftModifier;
    ScrollTo(transform_.scroll_x() - (sideways ? pixels.y() : pixels.x()),
             transform_.scroll_y() - (sideways ? 0 : pixels.y()));
  }
  event->accept();
}

void PictureView::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  events_.ViewPointerLeft();
}

}  // namespace tavrel
