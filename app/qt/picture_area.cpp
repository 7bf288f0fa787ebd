#include "app/qt/picture_area.h"

#include <QGridLayout>
#include <QScrollBar>

namespace tavrel {

PictureArea::PictureArea(PictureViewEvents& events, QWidget* parent) : QWidget(parent) {
  view_ = new PictureView(events, this);
  horizontal_ = new QScrollBar(Qt::Horizontal, this);
  vertical_ = new QScrollBar(Qt::Vertical, this);
  horizontal_->hide();
  vertical_->hide();
  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(view_, 0, 0);
  layout->addWidget(vertical_, 0, 1);
  layout->addWidget(horizontal_, 1, 0);
  connect(horizontal_, &QScrollBar::valueChanged, this,
          [this](int x) { view_->ScrollTo(x, view_->transform().scroll_y()); });
  connect(vertical_, &QScrollBar::valueChanged, this,
          [this](int y) { view_->ScrollTo(view_->transform().scroll_x(), y); });
  view_->OnTransformChanged([this] { UpdateScrollBars(); });
}

void PictureArea::FitPicture() { view_->FitTo(size()); }

void PictureArea::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  UpdateScrollBars();
}

void PictureArea::UpdateScrollBars() {
  if (updating_) return;
  updating_ = true;
  const ViewTransform& transform = view_->transform();
  // Whether each bar is needed follows from the whole area: a bar that shows
  // takes room from the other direction.
  const int scaled_width = transform.ScaledWidth();
  const int scaled_height = transform.ScaledHeight();
  bool need_horizontal = scaled_width > width();
  bool need_vertical = scaled_height > height();
  if (need_horizontal && !need_vertical) {
    need_vertical = scaled_height > height() - horizontal_->sizeHint().height();
  }
  if (need_vertical && !need_horizontal) {
    need_horizontal = scaled_width > width() - vertical_->sizeHint().width();
  }
  horizontal_->setVisible(need_horizontal);
  vertical_->setVisible(need_vertical);
  const int view_width = width() - (need_vertical ? vertical_->sizeHint().width() : 0);
  const int view_height = height() - (need_horizontal ? horizontal_->sizeHint().height() : 0);
  horizontal_->setRange(0, std::max(0, scaled_width - view_width));
  horizontal_->setPageStep(std::max(1, view_width));
  horizontal_->setSingleStep(20);
  vertical_->setRange(0, std::max(0, scaled_height - view_height));
  vertical_->setPageStep(std::max(1, view_height));
  vertical_->setSingleStep(20);
  horizontal_->setValue(transform.scroll_x());
  vertical_->setValue(transform.scroll_y());
  updating_ = false;
}

}  // namespace tavrel
