#pragma once

#include <QDialog>
#include <functional>

#include "files/batch_run.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace tavrel {

// Shown, modal, while a directions file runs: which entry, which stage, which
// iteration. Cancel (the button, Esc or the close box) asks the run to stop;
// the dialog stays, saying so, until the run has ended.
class RunProgressDialog : public QDialog {
 public:
  RunProgressDialog(QWidget* parent, std::function<void()> cancel);

  QPushButton* cancelButton() const { return cancel_button_; }

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
  QPushButton* cancel_button_ = nullptr;
  std::function<void()> cancel_;
  bool running_ = false;
  bool cancelling_ = false;

  void Cancel();
};

// "Entry 2 of 3" (or "Entry 2" when the count is not known) and the stage text.
QString EntryText(const BatchProgress& progress);
QString StageText(const BatchProgress& progress);

}  // namespace tavrel
