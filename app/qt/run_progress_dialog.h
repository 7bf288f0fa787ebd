#pragma once

#include <QDialog>

#include "files/batch_run.h"

class QLabel;
class QProgressBar;

namespace tavrel {

// Shown, modal, while a directions file runs: which entry, which stage, which
// iteration. It cannot be dismissed; it goes away when the run ends.
class RunProgressDialog : public QDialog {
 public:
  explicit RunProgressDialog(QWidget* parent);

  void Start(const QString& path);
  void Show(const BatchProgress& progress);
  void Finish();

 protected:
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QLabel* file_ = nullptr;
  QLabel* entry_ = nullptr;
  QLabel* stage_ = nullptr;
  QProgressBar* bar_ = nullptr;
  bool running_ = false;
};

// "Entry 2 of 3" (or "Entry 2" when the count is not known) and the stage text.
QString EntryText(const BatchProgress& progress);
QString StageText(const BatchProgress& progress);

}  // namespace tavrel
