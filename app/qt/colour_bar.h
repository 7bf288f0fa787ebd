#pragma once

#include <QWidget>
#include <optional>

#include "app/presenter.h"

class QLabel;

namespace tavrel {

// The colour scale of the view shown, with the values at its two ends; on
// the status bar, outside the picture area. Hidden while there is none.
class ColourBar : public QWidget {
 public:
  explicit ColourBar(QWidget* parent = nullptr);

  void SetScale(const std::optional<ColourScale>& scale);
  QString lowText() const;
  QString highText() const;

 private:
  class Strip;
  QLabel* low_ = nullptr;
  QLabel* high_ = nullptr;
  Strip* strip_ = nullptr;
};

}  // namespace tavrel
