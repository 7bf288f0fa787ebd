#include "app/qt/run_progress_dialog.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace tavrel {

QString EntryText(const BatchProgress& progress) {
  if (progress.entries > 0) {
    return QStringLiteral("Entry %1 of %2").arg(progress.entry).arg(progress.entries);
  }
  return QStringLiteral("Entry %1").arg(progress.entry);
}

QString StageText(const BatchProgress& progress) {
  switch (progress.stage) {
    case BatchStage::Loading:
      return QStringLiteral("Loading the images");
    case BatchStage::InitialMatchValues:
      return QStringLiteral("Computing the initial match values");
    case BatchStage::Iteration:
      return QStringLiteral("Iteration %1 of %2").arg(progress.step).arg(progress.steps);
    case BatchStage::Extraction:
      return QStringLiteral("Extracting disparity and confidence");
    case BatchStage::Writing:
      return QStringLiteral("Writing the output file");
  }
  return QString();
}

RunProgressDialog::RunProgressDialog(QWidget* parent, std::function<void()> cancel)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      cancel_(std::move(cancel)) {
  setWindowTitle(QStringLiteral("Tavrel - running"));
  setModal(true);
  file_ = new QLabel(this);
  entry_ = new QLabel(this);
  stage_ = new QLabel(this);
  bar_ = new QProgressBar(this);
  bar_->setTextVisible(false);
  cancel_button_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancel_button_->setAutoDefault(false);
  connect(cancel_button_, &QPushButton::clicked, this, [this] { Cancel(); });
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(file_);
  layout->addWidget(entry_);
  layout->addWidget(stage_);
  layout->addWidget(bar_);
  layout->addWidget(cancel_button_, 0, Qt::AlignRight);
  setMinimumWidth(320);
}

void RunProgressDialog::Start(const QString& path) {
  running_ = true;
  cancelling_ = false;
  cancel_button_->setEnabled(true);
  file_->setText(QFileInfo(path).fileName());
  entry_->setText(QString());
  stage_->setText(QStringLiteral("Reading the directions file"));
  bar_->setRange(0, 0);
  show();
}

void RunProgressDialog::Show(const BatchProgress& progress) {
  // Reports still queued when the cancel was asked for must not hide that.
  if (cancelling_) return;
  entry_->setText(EntryText(progress));
  stage_->setText(StageText(progress));
  if (progress.stage == BatchStage::Iteration && progress.steps > 0) {
    bar_->setRange(0, progress.steps);
    bar_->setValue(progress.step);
  } else {
    bar_->setRange(0, 0);
  }
}

void RunProgressDialog::Finish() {
  running_ = false;
  hide();
}

void RunProgressDialog::Cancel() {
  if (!running_ || cancelling_) return;
  cancelling_ = true;
  cancel_button_->setEnabled(false);
  stage_->setText(QStringLiteral("Cancelling at the next iteration"));
  cancel_();
}

void RunProgressDialog::reject() {
  // Esc cancels the run; the dialog stays until the run has stopped.
  if (running_) {
    Cancel();
  } else {
    QDialog::reject();
  }
}

void RunProgressDialog::closeEvent(QCloseEvent* event) {
  if (running_) {
    Cancel();
    event->ignore();
  } else {
    QDialog::closeEvent(event);
  }
}

}  // namespace tavrel
