#include "app/qt/profile_panel.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace tavrel {
namespace {

constexpr int kMargin = 44;
constexpr int kTextHeight = 46;
const QColor kInitialColour(120, 120, 120);
const QColor kCurrentColour(33, 102, 172);
const QColor kPeakColour(178, 24, 43);

}  // namespace

ProfilePanel::ProfilePanel(QWidget* parent) : QWidget(parent) {
  setMinimumSize(340, 220);
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
}

void ProfilePanel::SetProfile(const std::optional<MatchProfile>& profile) {
  profile_ = profile;
  update();
}

QString ProfilePanel::summary() const {
  if (!profile_) return QStringLiteral("Match profile: point at a pixel of a computed map");
  const MatchProfile& p = *profile_;
  QString text = QStringLiteral("Row %1, column %2, after %3 iteration(s)")
                     .arg(p.row)
                     .arg(p.column)
                     .arg(p.iterations.back());
  if (p.peak_index < 0) return text + QStringLiteral("\nNo peak");
  return text + QStringLiteral("\nPeak at index %1, offset %2: disparity %3, confidence %4")
                    .arg(p.peak_index)
                    .arg(p.offset, 0, 'f', 3)
                    .arg(p.disparity, 0, 'f', 3)
                    .arg(p.confidence, 0, 'f', 4);
}

void ProfilePanel::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.drawText(QRect(6, 2, width() - 12, kTextHeight - 4), Qt::AlignLeft | Qt::AlignTop,
                   summary());
  if (!profile_) return;
  const MatchProfile& p = *profile_;
  const int count = static_cast<int>(p.initial.size());
  const QRectF plot(kMargin, kTextHeight + 4, width() - 2 * kMargin,
                    height() - kTextHeight - kMargin - 4);
  if (count < 2 || plot.width() < 10 || plot.height() < 10) return;

  // L0 (left axis) and the current values (right axis) each get their own
  // scale from 0 to their largest value: the current values end far below L0.
  double top_initial = 0.0;
  for (const float v : p.initial) top_initial = std::max(top_initial, static_cast<double>(v));
  double top_current = 0.0;
  for (const auto& curve : p.current) {
    for (const float v : curve) top_current = std::max(top_current, static_cast<double>(v));
  }
  if (!(top_initial > 0.0)) top_initial = 1.0;
  if (!(top_current > 0.0)) top_current = 1.0;
  auto x_of = [&](double index) { return plot.left() + plot.width() * index / (count - 1); };
  auto y_on = [&](double value, double top) {
    return plot.bottom() - plot.height() * std::clamp(value, 0.0, top) / top;
  };

  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(plot);
  painter.setPen(kInitialColour);
  painter.drawText(QRectF(0, plot.top() - 6, kMargin - 4, 12), Qt::AlignRight,
                   QString::number(top_initial, 'g', 2));
  painter.setPen(kCurrentColour);
  painter.drawText(QRectF(plot.right() + 4, plot.top() - 6, kMargin, 12), Qt::AlignLeft,
                   QString::number(top_current, 'g', 2));
  painter.drawText(QRectF(plot.right() + 4, plot.bottom() - 6, kMargin, 12), Qt::AlignLeft,
                   QStringLiteral("0"));
  painter.setPen(palette().color(QPalette::Text));
  painter.drawText(QRectF(0, plot.bottom() - 6, kMargin - 4, 12), Qt::AlignRight,
                   QStringLiteral("0"));
  painter.drawText(QRectF(plot.left() - 20, plot.bottom() + 2, 40, 14), Qt::AlignHCenter,
                   QString::number(p.min_disparity));
  painter.drawText(QRectF(plot.right() - 20, plot.bottom() + 2, 40, 14), Qt::AlignHCenter,
                   QString::number(p.min_disparity + count - 1));
  painter.drawText(QRectF(plot.left(), plot.bottom() + 14, plot.width(), 14), Qt::AlignHCenter,
                   QStringLiteral("disparity"));

  auto draw_curve = [&](const std::vector<float>& values, double top, const QPen& pen) {
    QPainterPath path;
    for (int d = 0; d < count; ++d) {
      const QPointF point(x_of(d), y_on(values[d], top));
      if (d == 0) {
        path.moveTo(point);
      } else {
        path.lineTo(point);
      }
    }
    painter.strokePath(path, pen);
  };
  draw_curve(p.initial, top_initial, QPen(kInitialColour, 1.5, Qt::DashLine));
  const int curves = static_cast<int>(p.current.size());
  for (int i = 0; i < curves; ++i) {
    // Older curves fade, so that the latest stands out.
    QColor colour = kCurrentColour;
    colour.setAlphaF(curves == 1 ? 1.0 : 0.25 + 0.75 * i / (curves - 1));
    draw_curve(p.current[i], top_current, QPen(colour, i == curves - 1 ? 2.0 : 1.0));
  }

  if (p.peak_index >= 0) {
    const double position = p.peak_index + p.offset;
    painter.setPen(QPen(kPeakColour, 1, Qt::DotLine));
    painter.drawLine(QPointF(x_of(position), plot.top()), QPointF(x_of(position), plot.bottom()));
    painter.setPen(Qt::NoPen);
    painter.setBrush(kPeakColour);
    painter.drawEllipse(
        QPointF(x_of(p.peak_index), y_on(p.current.back()[p.peak_index], top_current)), 3.5, 3.5);
  }

  // The legend, top right inside the plot.
  painter.setBrush(Qt::NoBrush);
  const QPointF legend(plot.right() - 150, plot.top() + 12);
  painter.setPen(QPen(kInitialColour, 1.5, Qt::DashLine));
  painter.drawLine(legend, legend + QPointF(18, 0));
  painter.setPen(palette().color(QPalette::Text));
  painter.drawText(legend + QPointF(22, 4), QStringLiteral("L0 (left)"));
  painter.setPen(QPen(kCurrentColour, 2));
  painter.drawLine(legend + QPointF(0, 14), legend + QPointF(18, 14));
  painter.setPen(palette().color(QPalette::Text));
  painter.drawText(legend + QPointF(22, 18),
                   curves > 1 ? QStringLiteral("Ln, %1 curves (right)").arg(curves)
                              : QStringLiteral("Ln (right)"));
  painter.setPen(QPen(kPeakColour, 1, Qt::DotLine));
  painter.drawLine(legend + QPointF(9, 22), legend + QPointF(9, 34));
  painter.setPen(palette().color(QPalette::Text));
  painter.drawText(legend + QPointF(22, 32), QStringLiteral("peak"));
}

}  // namespace tavrel
