#include "app/qt/main_window.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QSaveFile>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <exception>

#include "app/pixel_readout.h"
#include "app/qt/colour_bar.h"
#include "app/qt/eliding_label.h"
#include "app/qt/profile_panel.h"
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
    case Qt::Key_F5:
      return Key::F5;
    case Qt::Key_M:
      return Key::M;
    case Qt::Key_G:
      return Key::G;
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
  area_ = new PictureArea(*this, this);
  view_ = area_->view();
  BuildMenus();

  caption_ = new QLabel(menuBar());
  caption_->setTextFormat(Qt::PlainText);
  caption_->setAttribute(Qt::WA_TransparentForMouseEvents);
  menuBar()->installEventFilter(this);

  area_->setMinimumSize(kMinimumClientWidth, kMinimumClientHeight);
  setCentralWidget(area_);
  view_->setFocus();

  // Both texts share the status bar's width and are cut short rather than
  // widening the window beyond the picture.
  readout_ = new ElidingLabel(this);
  notice_ = new ElidingLabel(this);
  statusBar()->addWidget(readout_, 3);
  statusBar()->addWidget(notice_, 2);
  colour_bar_ = new ColourBar(this);
  statusBar()->addPermanentWidget(colour_bar_);

  profile_dock_ = new QDockWidget(QStringLiteral("Match profile"), this);
  profile_dock_->setObjectName(QStringLiteral("profile"));
  profile_dock_->setFeatures(QDockWidget::DockWidgetClosable);
  profile_panel_ = new ProfilePanel(profile_dock_);
  profile_dock_->setWidget(profile_panel_);
  addDockWidget(Qt::RightDockWidgetArea, profile_dock_);
  profile_dock_->hide();

  progress_ = new RunProgressDialog(this, [this] { CancelRun(); });
  connect(&run_, &QFutureWatcher<RunOutcome>::finished, this, [this] { OnRunFinished(); });

  FitClientArea(kMinimumClientWidth, kMinimumClientHeight);
}

MainWindow::~MainWindow() { run_.waitForFinished(); }

QString MainWindow::caption() const { return caption_->text(); }
QString MainWindow::readout() const { return readout_->text(); }
QString MainWindow::notice() const { return notice_->text(); }

void MainWindow::BuildMenus() {
  file_menu_ = menuBar()->addMenu(QStringLiteral("&File"));
  connect(file_menu_->addAction(QStringLiteral("&Open")), &QAction::triggered, this,
          [this] { OnOpen(); });
  QAction* save = file_menu_->addAction(QStringLiteral("&Save picture"));
  save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  connect(save, &QAction::triggered, this, [this] { OnSavePicture(); });
  connect(file_menu_->addAction(QStringLiteral("Load &ground truth")), &QAction::triggered, this,
          [this] { OnLoadGroundTruth(); });
  connect(file_menu_->addAction(QStringLiteral("&Help")), &QAction::triggered, this,
          [this] { OnHelp(); });
  connect(file_menu_->addAction(QStringLiteral("E&xit")), &QAction::triggered, this,
          [this] { Guarded([this] { application_.Exit(); }); });

  view_menu_ = menuBar()->addMenu(QStringLiteral("&View"));
  QAction* zoom_in = view_menu_->addAction(QStringLiteral("Zoom &in"));
  zoom_in->setShortcuts({QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal)});
  connect(zoom_in, &QAction::triggered, this, [this] { view_->ZoomIn(); });
  QAction* zoom_out = view_menu_->addAction(QStringLiteral("Zoom &out"));
  zoom_out->setShortcut(QKeySequence(Qt::Key_Minus));
  connect(zoom_out, &QAction::triggered, this, [this] { view_->ZoomOut(); });
  QAction* fit = view_menu_->addAction(QStringLiteral("&Fit to window"));
  fit->setShortcut(QKeySequence(Qt::Key_0));
  connect(fit, &QAction::triggered, this, [this] { area_->FitPicture(); });
  QAction* actual = view_menu_->addAction(QStringLiteral("&Actual size"));
  actual->setShortcut(QKeySequence(Qt::Key_1));
  connect(actual, &QAction::triggered, this, [this] { view_->OneToOne(); });

  QAction* profile = view_menu_->addAction(QStringLiteral("Match &profile"));
  profile->setShortcut(QKeySequence(Qt::Key_V));
  connect(profile, &QAction::triggered, this, [this] { ToggleProfile(); });

  // The colour maps: M cycles them, G is exact grey; the menu shows the choice.
  view_menu_->addSeparator();
  QAction* next = view_menu_->addAction(QStringLiteral("&Next colour map"));
  next->setShortcut(QKeySequence(Qt::Key_M));
  connect(next, &QAction::triggered, this, [this] {
    if (running_) return;
    Guarded([this] { application_.KeyDown(Key::M, view_->PointerRow()); });
  });
  colour_maps_ = new QActionGroup(this);
  for (const ColourMap map : {ColourMap::Grey, ColourMap::Viridis, ColourMap::Diverging}) {
    QAction* choice = view_menu_->addAction(QString::fromUtf8(ColourMapName(map)));
    choice->setCheckable(true);
    choice->setChecked(map == state_.Colours);
    choice->setData(static_cast<int>(map));
    if (map == ColourMap::Grey) choice->setShortcut(QKeySequence(Qt::Key_G));
    colour_maps_->addAction(choice);
    connect(choice, &QAction::triggered, this, [this, map] {
      if (running_) return;
      Guarded([this, map] { application_.ChooseColourMap(map, view_->PointerRow()); });
    });
  }
}

void MainWindow::OpenDirectionsFile(const QString& path) {
  const QFileInfo file(path);
  // Relative names inside the file, P and Help all work in the file's folder.
  QDir::setCurrent(file.absolutePath());
  const std::string native_path = QFile::encodeName(file.absoluteFilePath()).toStdString();
  running_ = true;
  cancel_ = false;
  progress_->Start(path);
  run_.setFuture(QtConcurrent::run(
      [this, native_path] { return RunDirectionsFile(native_path, state_, *this, cancel_); }));
}

void MainWindow::CancelRun() {
  if (running_) cancel_ = true;
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

void MainWindow::ShowStatus(const std::string& text) {
  notice_->setText(QString::fromStdString(text));
}

void MainWindow::MarkRow(int row) { view_->SetMarkedRow(row); }

void MainWindow::ShowColourScale(const std::optional<ColourScale>& scale) {
  colour_bar_->SetScale(scale);
  for (QAction* choice : colour_maps_->actions()) {
    if (choice->data().toInt() == static_cast<int>(state_.Colours)) choice->setChecked(true);
  }
}

QString MainWindow::SavePicture(const QString& path) {
  const QImage& picture = view_->picture();
  if (picture.isNull()) return QStringLiteral("There is no picture to save.");
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return file.errorString();
  if (!picture.save(&file, "PNG")) {
    file.cancelWriting();
    return file.errorString().isEmpty() ? QStringLiteral("The PNG could not be written.")
                                        : file.errorString();
  }
  if (!file.commit()) return file.errorString();
  return QString();
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
        view_->SetPicture(image);
        FitClientArea(image.width(), image.height());
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
  if (!running_ && ViewKey(event->key())) return;
  const Key key = KeyOf(event->key());
  // Esc during a run stops the run, not the program.
  if (running_ && key == Key::Escape) {
    CancelRun();
    return;
  }
  if (running_ || key == Key::Other) {
    QMainWindow::keyPressEvent(event);
    return;
  }
  Guarded([this, key] { application_.KeyDown(key, view_->PointerRow()); });
  if (key == Key::I && profile_.profile()) {
    profile_.AfterIteration(state_.Matcher);
    profile_panel_->SetProfile(profile_.profile());
  }
}

bool MainWindow::profileShown() const { return !profile_dock_->isHidden(); }

void MainWindow::ToggleProfile() {
  if (profileShown()) {
    profile_dock_->hide();
    // Once the layout no longer holds the panel, the window can shrink back.
    QTimer::singleShot(0, this, [this] {
      if (!profileShown()) resize(width_without_profile_, height());
    });
    return;
  }
  // The window grows by the panel, so that the picture area keeps its width;
  // what the dock's frame and separator take is known once it is laid out.
  width_without_profile_ = width();
  const int area_width = area_->width();
  resize(width() + profile_dock_->sizeHint().width(), height());
  profile_dock_->show();
  QTimer::singleShot(0, this, [this, area_width] {
    if (profileShown()) resize(width() + area_width - area_->width(), height());
  });
  FollowProfile(view_->PointerPixel());
}

void MainWindow::FollowProfile(PicturePoint point) {
  if (!profileShown() || running_ || !application_.Computed()) return;
  // While a slice is held the pointer is on a picture of disparities, not pixels;
  // off the image the panel keeps the last pixel, so it can be reached.
  if (state_.LeftButtonDown == 1 || state_.RightButtonDown == 1) return;
  if (point.row < 0 || point.column < 0 || point.row >= state_.Matcher.Rows() ||
      point.column >= state_.Matcher.Columns()) {
    return;
  }
  profile_.Follow(state_.Matcher, point.row, point.column);
  profile_panel_->SetProfile(profile_.profile());
}

bool MainWindow::ViewKey(int qt_key) {
  // The same as the View menu's shortcuts, for keys that reach the window
  // without passing through them (a keypad's, or with Shift on some layouts).
  switch (qt_key) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
      view_->ZoomIn();
      return true;
    case Qt::Key_Minus:
      view_->ZoomOut();
      return true;
    case Qt::Key_0:
      area_->FitPicture();
      return true;
    case Qt::Key_1:
      view_->OneToOne();
      return true;
    case Qt::Key_V:
      ToggleProfile();
      return true;
    default:
      return false;
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The window stays until the run has stopped; closing asks it to stop and
  // closes once it has.
  if (running_) {
    close_after_run_ = true;
    CancelRun();
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

void MainWindow::ViewButtonDown(Qt::MouseButton button, PicturePoint point) {
  if (running_) return;
  const int row = point.row;
  if (button == Qt::LeftButton) {
    Guarded([this, row] { application_.ButtonDown(MouseButton::Left, row); });
  } else if (button == Qt::RightButton) {
    Guarded([this, row] { application_.ButtonDown(MouseButton::Right, row); });
  }
  UpdateReadout(point);
}

void MainWindow::ViewButtonUp(Qt::MouseButton button) {
  if (running_) return;
  if (button == Qt::LeftButton) application_.ButtonUp(MouseButton::Left);
  if (button == Qt::RightButton) application_.ButtonUp(MouseButton::Right);
  UpdateReadout(view_->PointerPixel());
}

void MainWindow::ViewMouseMove(PicturePoint point) {
  if (running_) return;
  Guarded([this, point] { application_.MouseMove(point.row); });
  UpdateReadout(point);
  FollowProfile(point);
}

void MainWindow::ViewPointerLeft() { readout_->clear(); }

void MainWindow::UpdateReadout(PicturePoint point) {
  if (running_ || state_.DisplayReleased) return;
  readout_->setText(QString::fromStdString(PixelReadout(state_, point)));
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

void MainWindow::OnSavePicture() {
  if (running_ || view_->picture().isNull()) return;
  const QString suggested = QDir::current().filePath(
      QString::fromStdString(PictureFileName(caption_->text().toStdString())));
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save picture"), suggested,
                                                    QStringLiteral("PNG pictures (*.png)"));
  if (path.isEmpty()) return;
  const QString failure = SavePicture(path);
  if (failure.isEmpty()) {
    ShowStatus("Saved " + QFile::encodeName(path).toStdString());
  } else {
    ShowMessage("Could not save " + QFile::encodeName(path).toStdString() + "\n" +
                failure.toStdString());
  }
}

bool MainWindow::LoadGroundTruth(const QString& path) {
  const std::string native = QFile::encodeName(path).toStdString();
  const std::string failure = application_.LoadGroundTruth(native);
  if (failure.empty()) return true;
  ShowMessage("Could not load the ground truth " + native + "\n" + failure);
  return false;
}

void MainWindow::OnLoadGroundTruth() {
  if (running_) return;
  const QString path =
      QFileDialog::getOpenFileName(this, QStringLiteral("Load ground truth"), QDir::currentPath(),
                                   QStringLiteral("Ground truth (*.pfm);;All Files (*.*)"));
  if (path.isEmpty()) return;
  LoadGroundTruth(path);
}

void MainWindow::OnHelp() {
  if (running_) return;
  Guarded([this] { application_.Help(); });
}

void MainWindow::OnRunFinished() {
  const RunOutcome outcome = run_.result();
  running_ = false;
  profile_.Clear();
  profile_panel_->SetProfile(std::nullopt);
  progress_->Finish();
  // The fatal message comes first; lost outputs are told only when the
  // program goes on.
  Guarded([this, &outcome] {
    switch (outcome.kind) {
      case RunOutcome::Kind::Failed:
        application_.OpenFinished(false, outcome.fatal_message, view_->PointerRow());
        return;
      case RunOutcome::Kind::Cancelled:
        application_.OpenCancelled(view_->PointerRow());
        ShowStatus("Run cancelled; the entries before it were written");
        break;
      case RunOutcome::Kind::Completed:
        application_.OpenFinished(true, std::string(), view_->PointerRow());
        break;
    }
    if (outcome.unwritten.empty()) return;
    std::string text;
    for (const std::string& path : outcome.unwritten) {
      if (!text.empty()) text += '\n';
      text += OutputNotWrittenMessage(path);
    }
    ShowMessage(text);
  });
  if (close_after_run_) Close();
  emit runFinished();
}

void MainWindow::SetCaption(const QString& text) {
  caption_->setText(text);
  PlaceCaption();
}

void MainWindow::PlaceCaption() {
  const QRect last_menu = menuBar()->actionGeometry(view_menu_->menuAction());
  caption_->adjustSize();
  const int left = last_menu.right() + kCaptionGap;
  const int top = (menuBar()->height() - caption_->height()) / 2;
  caption_->move(left, top);
  caption_->raise();
}

void MainWindow::FitClientArea(int width, int height) {
  const int menu_height =
      menuBar()->isVisible() ? menuBar()->height() : menuBar()->sizeHint().height();
  const int status_height =
      statusBar()->isVisible() ? statusBar()->height() : statusBar()->sizeHint().height();
  const int bars = menu_height + status_height;
  QSize client(std::max(width, kMinimumClientWidth), std::max(height, kMinimumClientHeight));
  // A picture larger than the screen opens fitted to it; one that fits is
  // shown one to one in a picture area of exactly its size.
  const QScreen* shown_on = screen();
  if (shown_on != nullptr) {
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize room = shown_on->availableGeometry().size() - frame - QSize(0, bars);
    if (client.width() > room.width() || client.height() > room.height()) {
      client = client.boundedTo(room).expandedTo(QSize(kMinimumClientWidth, kMinimumClientHeight));
      resize(client.width(), client.height() + bars);
      view_->FitTo(client);
      return;
    }
  }
  view_->OneToOne();
  view_->ScrollTo(0, 0);
  resize(client.width(), client.height() + bars);
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
