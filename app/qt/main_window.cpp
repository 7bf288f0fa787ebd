#include "app/qt/main_window.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QtConcurrent/QtConcurrentRun>
#include <exception>

#include "app/qt/run_progress_dialog.h"
#include "engine/isa_path.h"

namespace tavrel {
namespace {

// Where the caption sits on the menu bar, right of the File menu.
constexpr int kCaptionGap = 12;

Key KeyOf(int qt_key) {
  switch (qt_key) {
    case Qt::Key_Escape:
      return Key::Escape;
    case Qt::Key_I:
      return Key::I;
    case Qt::Key_P:
      return Key::P;
    case Qt::Key_F1:
      return Key::F1;
    case Qt::Key_F2:
      return Key::F2;
    case Qt::Key_F3:
      return Key::F3;
    case Qt::Key_F4:
      return Key::F4;
    default:
      return Key::Other;
  }
}

}  // namespace

MainWindow::MainWindow(AppState& state, QWidget* parent)
    : QMainWindow(parent), state_(state), application_(state, *this) {
  setWindowTitle(QStringLiteral("Tavrel"));

  // The caption is drawn on the menu bar, so it must stay in the window.
  menuBar()->setNativeMenuBar(false);
  file_menu_ = menuBar()->addMenu(QStringLiteral("&File"));
  connect(file_menu_->addAction(QStringLiteral("&Open")), &QAction::triggered, this,
          [this] { OnOpen(); });
  connect(file_menu_->addAction(QStringLiteral("&Help")), &QAction::triggered, this,
          [this] { OnHelp(); });
  connect(file_menu_->addAction(QStringLiteral("E&xit")), &QAction::triggered, this,
          [this] { Guarded([this] { application_.Exit(); }); });

  caption_ = new QLabel(menuBar());
  caption_->setTextFormat(Qt::PlainText);
  caption_->setAttribute(Qt::WA_TransparentForMouseEvents);
  menuBar()->installEventFilter(this);

  view_ = new PictureView(*this, this);
  view_->setMinimumSize(kMinimumClientWidth, kMinimumClientHeight);
  setCentralWidget(view_);
  view_->setFocus();

  progress_ = new RunProgressDialog(this);
  connect(&run_, &QFutureWatcher<std::optional<std::string>>::finished, this,
          [this] { OnRunFinished(); });

  FitClientArea(kMinimumClientWidth, kMinimumClientHeight);
}

MainWindow::~MainWindow() { run_.waitForFinished(); }

QString MainWindow::caption() const { return caption_->text(); }

void MainWindow::OpenDirectionsFile(const QString& path) {
  const QFileInfo file(path);
  // Relative names inside the file, P and Help all work in the file's folder.
  QDir::setCurrent(file.absolutePath());
  const std::string native_path = QFile::encodeName(file.absoluteFilePath()).toStdString();
  running_ = true;
  progress_->Start(path);
  run_.setFuture(QtConcurrent::run(
      [this, native_path] { return RunDirectionsFile(native_path, state_, *this); }));
}

void MainWindow::Present(const Surface& picture, const std::string* caption) {
  view_->SetPicture(picture);
  if (caption != nullptr) SetCaption(QString::fromStdString(*caption));
}

void MainWindow::ShowMessage(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Tavrel"), QString::fromStdString(text),
                  QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void MainWindow::Close() {
  // As a posted close request: the command that asked for it finishes first.
  QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void MainWindow::ShowPicture(const Surface& picture, const std::string& caption) {
  QImage image = SurfaceToImage(picture);
  QString text = QString::fromStdString(caption);
  QMetaObject::invokeMethod(
      this,
      [this, image, text] {
        FitClientArea(image.width(), image.height());
        view_->SetPicture(image);
        SetCaption(text);
      },
      Qt::QueuedConnection);
}

void MainWindow::ShowProgress(const BatchProgress& progress) {
  BatchProgress copy = progress;
  copy.job = nullptr;  // owned by the worker
  QMetaObject::invokeMethod(
      this, [this, copy] { progress_->Show(copy); }, Qt::QueuedConnection);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  const Key key = KeyOf(event->key());
  if (running_ || key == Key::Other) {
    QMainWindow::keyPressEvent(event);
    return;
  }
  Guarded([this, key] { application_.KeyDown(key, view_->PointerRow()); });
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The run cannot be interrupted half-way; the window stays until it ends.
  if (running_) {
    event->ignore();
    return;
  }
  application_.ReleaseDisplayObjects();
  event->accept();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == menuBar() && (event->type() == QEvent::Resize || event->type() == QEvent::Show ||
                               event->type() == QEvent::LayoutRequest)) {
    PlaceCaption();
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::ViewAboutToPaint() {
  // While a file runs, the state belongs to the worker: paint the last picture sent.
  if (running_) return;
  Guarded([this] { application_.Paint(view_->PointerRow()); });
}

void MainWindow::ViewButtonDown(Qt::MouseButton button, int row) {
  if (running_) return;
  if (button == Qt::LeftButton) {
    Guarded([this, row] { application_.ButtonDown(MouseButton::Left, row); });
  } else if (button == Qt::RightButton) {
    Guarded([this, row] { application_.ButtonDown(MouseButton::Right, row); });
  }
}

void MainWindow::ViewButtonUp(Qt::MouseButton button) {
  if (running_) return;
  if (button == Qt::LeftButton) application_.ButtonUp(MouseButton::Left);
  if (button == Qt::RightButton) application_.ButtonUp(MouseButton::Right);
}

void MainWindow::ViewMouseMove(int row) {
  if (running_) return;
  Guarded([this, row] { application_.MouseMove(row); });
}

void MainWindow::OnOpen() {
  if (running_) return;
  const QString path = QFileDialog::getOpenFileName(
      this, QString(), QDir::current().filePath(QStringLiteral("in.cpd")),
      QStringLiteral("Stereo Direction Files (*.cpd);;All Files (*.*)"));
  if (path.isEmpty()) {
    Guarded([this] { application_.OpenCancelled(view_->PointerRow()); });
    return;
  }
  OpenDirectionsFile(path);
}

void MainWindow::OnHelp() {
  if (running_) return;
  Guarded([this] { application_.Help(); });
}

void MainWindow::OnRunFinished() {
  const std::optional<std::string> fatal_message = run_.result();
  running_ = false;
  progress_->Finish();
  Guarded([this, &fatal_message] {
    application_.OpenFinished(!fatal_message, fatal_message.value_or(std::string()),
                              view_->PointerRow());
  });
  emit runFinished();
}

void MainWindow::SetCaption(const QString& text) {
  caption_->setText(text);
  PlaceCaption();
}

void MainWindow::PlaceCaption() {
  const QRect file_entry = menuBar()->actionGeometry(file_menu_->menuAction());
  caption_->adjustSize();
  const int left = file_entry.right() + kCaptionGap;
  const int top = (menuBar()->height() - caption_->height()) / 2;
  caption_->move(left, top);
  caption_->raise();
}

void MainWindow::FitClientArea(int width, int height) {
  const int menu_height =
      menuBar()->isVisible() ? menuBar()->height() : menuBar()->sizeHint().height();
  resize(std::max(width, kMinimumClientWidth),
         std::max(height, kMinimumClientHeight) + menu_height);
}

void MainWindow::ChooseIsaPath() {
  Guarded([] { ActiveIsaPath(); });
}

template <typename Command>
void MainWindow::Guarded(Command command) {
  try {
    command();
  } catch (const std::exception& error) {
    application_.FatalError(error.what());
  }
}

}  // namespace tavrel
