#include "app/qt/colour_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

namespace tavrel {

class ColourBar::Strip : public QWidget {
 public:
  explicit Strip(QWidget* parent) : QWidget(parent) { setFixedSize(128, 12); }
  ColourMap map = ColourMap::Grey;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    for (int x = 0; x < width(); ++x) {
      const Rgb c = ColourAt(map, width() > 1 ? x / (width() - 1.0) : 0.0);
      painter.setPen(QColor(c.red, c.green, c.blue));
      painter.drawLine(x, 0, x, height() - 1);
    }
  }
};

namespace {

QString ValueText(double value) { return QString::number(value, 'g', 4); }

}  // namespace

ColourBar::ColourBar(QWidget* parent) : QWidget(parent) {
  low_ = new QLabel(this);
  high_ = new QLabel(this);
  strip_ = new Strip(this);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(4, 0, 4, 0);
  layout->addWidget(low_);
  layout->addWidget(strip_);
  layout->addWidget(high_);
  hide();
}

void ColourBar::SetScale(const std::optional<ColourScale>& scale) {
  if (!scale) {
    hide();
    return;
  }
  strip_->map = scale->map;
  low_->setText(ValueText(scale->range.low));
  high_->setText(ValueText(scale->range.high));
  strip_->update();
  show();
}

QString ColourBar::lowText() const { return low_->text(); }
QString ColourBar::highText() const { return high_->text(); }

}  // namespace tavrel
