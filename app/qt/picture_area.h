#pragma once

#include <QWidget>

#include "app/qt/picture_view.h"

class QScrollBar;

namespace tavrel {

// The picture view with scroll bars that appear only while the zoomed picture
// is larger than the view, outside the view: a picture that fits keeps a view
// of exactly its size.
class PictureArea : public QWidget {
 public:
  PictureArea(PictureViewEvents& events, QWidget* parent = nullptr);

  PictureView* view() const { return view_; }
  QScrollBar* horizontalBar() const { return horizontal_; }
  QScrollBar* verticalBar() const { return vertical_; }

  // Zooms so that the whole picture fits the area with no scroll bars.
  void FitPicture();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void UpdateScrollBars();

  PictureView* view_ = nullptr;
  QScrollBar* horizontal_ = nullptr;
  QScrollBar* vertical_ = nullptr;
  bool updating_ = false;
};

}  // namespace tavrel
