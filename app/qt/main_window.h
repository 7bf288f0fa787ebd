#pragma once

#include <QFutureWatcher>
#include <QMainWindow>
#include <optional>
#include <string>

#include "app/app_state.h"
#include "app/application.h"
#include "app/presenter.h"
#include "app/qt/picture_view.h"
#include "app/window_batch_host.h"

class QLabel;
class QMenu;

namespace tavrel {

class RunProgressDialog;

// The one window: turns Qt's events into the application's commands and shows
// what they present. A directions file runs on a worker thread behind a modal
// progress dialog; meanwhile the window paints the last picture it was sent and
// takes no commands.
class MainWindow : public QMainWindow,
                   public Presenter,
                   public RunMonitor,
                   private PictureViewEvents {
  Q_OBJECT

 public:
  explicit MainWindow(AppState& state, QWidget* parent = nullptr);
  ~MainWindow() override;

  Application& application() { return application_; }
  QMenu* fileMenu() const { return file_menu_; }
  PictureView* view() const { return view_; }
  // The text shown on the menu bar.
  QString caption() const;
  bool running() const { return running_; }

  // Runs the directions file as File/Open does once a file is chosen: the
  // working directory moves to the file's folder first.
  void OpenDirectionsFile(const QString& path);
  // Settles the engine's instruction-set path (TAVREL_ISA) at start; a bad
  // choice is a fatal error.
  void ChooseIsaPath();

  // Presenter
  void Present(const Surface& picture, const std::string* caption) override;
  void ShowMessage(const std::string& text) override;
  void Close() override;

  // RunMonitor: called on the worker thread.
  void ShowPicture(const Surface& picture, const std::string& caption) override;
  void ShowProgress(const BatchProgress& progress) override;

 signals:
  // A directions file has run and its result has been shown (or reported).
  void runFinished();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ViewAboutToPaint() override;
  void ViewButtonDown(Qt::MouseButton button, int row) override;
  void ViewButtonUp(Qt::MouseButton button) override;
  void ViewMouseMove(int row) override;

  void OnOpen();
  void OnHelp();
  void OnRunFinished();
  void SetCaption(const QString& text);
  void PlaceCaption();
  void FitClientArea(int width, int height);
  // Runs a command; an exception it throws ends the program as a fatal error.
  template <typename Command>
  void Guarded(Command command);

  AppState& state_;
  Application application_;
  PictureView* view_ = nullptr;
  QMenu* file_menu_ = nullptr;
  QLabel* caption_ = nullptr;
  RunProgressDialog* progress_ = nullptr;
  QFutureWatcher<std::optional<std::string>> run_;
  bool running_ = false;
};

// The smallest client area the window can be given.
inline constexpr int kMinimumClientWidth = 180;
inline constexpr int kMinimumClientHeight = 100;

}  // namespace tavrel
