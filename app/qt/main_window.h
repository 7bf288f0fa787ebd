#pragma once

#include <QFutureWatcher>
#include <QMainWindow>
#include <atomic>
#include <optional>
#include <string>

#include "app/app_state.h"
#include "app/application.h"
#include "app/match_profile.h"
#include "app/presenter.h"
#include "app/qt/picture_area.h"
#include "app/qt/picture_view.h"
#include "app/window_batch_host.h"

class QAction;
class QActionGroup;
class QDockWidget;
class QLabel;
class QMenu;

namespace tavrel {

class ColourBar;
class ProfilePanel;
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
  QMenu* viewMenu() const { return view_menu_; }
  PictureView* view() const { return view_; }
  PictureArea* pictureArea() const { return area_; }
  // The status bar's two texts: the values under the pointer, and the last
  // notice (what P wrote, a saved picture, a cancelled run).
  QString readout() const;
  QString notice() const;
  // The text shown on the menu bar.
  QString caption() const;
  bool running() const { return running_; }
  RunProgressDialog* progressDialog() const { return progress_; }

  // Asks a running directions file to stop at the next stage or iteration.
  void CancelRun();

  // Writes the picture shown, at full resolution and without the marks drawn
  // over it, as PNG (through a temporary file renamed into place). Returns
  // the reason it could not, or an empty text.
  QString SavePicture(const QString& path);

  // Reads a ground truth (PFM, the benchmarks' sign) for the error view (F5);
  // a file that cannot be used is shown in a message box. Relative paths are
  // taken from the current folder.
  bool LoadGroundTruth(const QString& path);

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
  void ShowStatus(const std::string& text) override;
  void MarkRow(int row) override;
  void ShowColourScale(const std::optional<ColourScale>& scale) override;
  ColourBar* colourBar() const { return colour_bar_; }
  ProfilePanel* profilePanel() const { return profile_panel_; }
  bool profileShown() const;
  // V: shows or hides the match profile panel beside the picture area, the
  // window growing or shrinking by its width.
  void ToggleProfile();

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
  void ViewButtonDown(Qt::MouseButton button, PicturePoint point) override;
  void ViewButtonUp(Qt::MouseButton button) override;
  void ViewMouseMove(PicturePoint point) override;
  void ViewPointerLeft() override;

  void BuildMenus();
  bool ViewKey(int qt_key);
  void UpdateReadout(PicturePoint point);
  void FollowProfile(PicturePoint point);
  void OnOpen();
  void OnSavePicture();
  void OnLoadGroundTruth();
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
  PictureArea* area_ = nullptr;
  PictureView* view_ = nullptr;
  QMenu* file_menu_ = nullptr;
  QMenu* view_menu_ = nullptr;
  QLabel* caption_ = nullptr;
  QLabel* readout_ = nullptr;
  QLabel* notice_ = nullptr;
  ColourBar* colour_bar_ = nullptr;
  QDockWidget* profile_dock_ = nullptr;
  ProfilePanel* profile_panel_ = nullptr;
  ProfileTracker profile_;
  int width_without_profile_ = 0;
  QActionGroup* colour_maps_ = nullptr;
  RunProgressDialog* progress_ = nullptr;
  QFutureWatcher<RunOutcome> run_;
  std::atomic<bool> cancel_{false};
  bool running_ = false;
  bool close_after_run_ = false;
};

// The smallest client area the window can be given.
inline constexpr int kMinimumClientWidth = 180;
inline constexpr int kMinimumClientHeight = 100;

}  // namespace tavrel
