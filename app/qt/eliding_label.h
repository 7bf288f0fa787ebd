#pragma once

#include <QLabel>

namespace tavrel {

// A one-line plain-text label that takes whatever width its layout gives it
// and ends a text too long for it with "…", instead of widening the window.
class ElidingLabel : public QLabel {
 public:
  explicit ElidingLabel(QWidget* parent = nullptr);
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace tavrel
