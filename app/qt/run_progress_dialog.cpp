#include "app/qt/run_progress_dialog.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
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

RunProgressDialog::RunProgressDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setWindowTitle(QStringLiteral("Tavrel - running"));
  setModal(true);
  file_ = new QLabel(this);
  entry_ = new QLabel(this);
  stage_ = new QLabel(this);
  bar_ = new QProgressBar(this);
  bar_->setTextVisible(false);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(file_);
  layout->addWidget(entry_);
  layout->addWidget(stage_);
  layout->addWidget(bar_);
  setMinimumWidth(320);
}

void RunProgressDialog::Start(const QString& path) {
  running_ = true;
  file_->setText(QFileInfo(path).fileName());
  entry_->setText(QString());
  stage_->setText(QStringLiteral("Reading the directions file"));
  bar_->setRange(0, 0);
  show();
}

void RunProgressDialog::Show(const BatchProgress& progress) {
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

void RunProgressDialog::reject() {
  // Esc must not hide the dialog while the run goes on.
  if (!running_) QDialog::reject();
}

void RunProgressDialog::closeEvent(QCloseEvent* event) {
  if (running_) {
    event->ignore();
  } else {
    QDialog::closeEvent(event);
  }
}

}  // namespace tavrel
