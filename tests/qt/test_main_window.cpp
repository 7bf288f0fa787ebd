#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/qt/colour_bar.h"
#include "app/qt/main_window.h"
#include "app/qt/profile_panel.h"
#include "app/qt/run_progress_dialog.h"
#include "files/pfm_writing.h"
#include "tests/app_test_support.h"

namespace tavrel {

using test_support::Entry;
using test_support::ShiftedTexture;
using test_support::TemporaryWorkingDirectory;
using test_support::WriteGreyBmp;

// What the next message box showed; it is accepted as soon as it opens.
struct MessageBoxSeen {
  QString title, text;
  Qt::TextFormat format = Qt::AutoText;
};

void AcceptNextMessageBox(MessageBoxSeen& seen) {
  QTimer::singleShot(0, [&seen] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    QVERIFY(box != nullptr);
    seen = {box->windowTitle(), box->text(), box->textFormat()};
    box->accept();
  });
}

// The same for a box that opens later (after a run): looked for until it shows.
void AcceptMessageBoxOnceShown(MessageBoxSeen& seen, QObject* owner) {
  auto* poll = new QTimer(owner);
  QObject::connect(poll, &QTimer::timeout, poll, [poll, &seen] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    seen = {box->windowTitle(), box->text(), box->textFormat()};
    box->accept();
    poll->deleteLater();
  });
  poll->start(20);
}

// Shows the window and waits until it is on the screen; false if it never is.
bool ShownOnScreen(MainWindow& window) {
  window.show();
  return QTest::qWaitForWindowExposed(&window);
}

// The 40 x 30 pair a0.bmp, a1.bmp (three pixels apart) and a directions file
// in.cpd holding `entries`, written into `folder`; the file's path.
QString WritePairAndDirections(const TemporaryWorkingDirectory& folder,
                               const std::string& entries) {
  WriteGreyBmp(folder.path() / "a0.bmp", *ShiftedTexture(40, 30, 0));
  WriteGreyBmp(folder.path() / "a1.bmp", *ShiftedTexture(40, 30, -3));
  std::ofstream(folder.path() / "in.cpd") << entries;
  return QString::fromStdString((folder.path() / "in.cpd").string());
}

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void MenuHoldsOpenHelpExit() {
    AppState state;
    MainWindow window(state);
    const QList<QAction*> menus = window.menuBar()->actions();
    QCOMPARE(menus.size(), 2);
    QCOMPARE(menus.at(0)->text(), QStringLiteral("&File"));
    QCOMPARE(menus.at(1)->text(), QStringLiteral("&View"));
    QStringList entries;
    for (const QAction* action : window.fileMenu()->actions()) entries << action->text();
    QCOMPARE(entries,
             (QStringList{"&Open", "&Save picture", "Load &ground truth", "&Help", "E&xit"}));
    QCOMPARE(window.windowTitle(), QStringLiteral("Tavrel"));
  }

  void KeyReachesTheCommand() {
    AppState state;
    state.ImageArrays.image0 = ShiftedTexture(30, 20, 0);
    state.ImageSurfaces[0] = Surface(30, 20);
    state.DisplayWidth = 30;
    state.DisplayHeight = 20;
    state.Matcher.Image0Name = "left.bmp";
    MainWindow window(state);
    QVERIFY(ShownOnScreen(window));

    // Nothing is loaded yet: F1 is passed over.
    QTest::keyClick(window.view(), Qt::Key_F1);
    QCOMPARE(window.caption(), QString());

    state.DirectionsLoaded = 1;
    QTest::keyClick(window.view(), Qt::Key_F1);
    QCOMPARE(window.caption(), QStringLiteral("left.bmp"));
    QCOMPARE(window.view()->picture().size(), QSize(30, 20));
    const int grey = static_cast<int>(state.ImageArrays.image0->At(4, 7, 0));
    QCOMPARE(window.view()->picture().pixel(7, 4), qRgb(grey, grey, grey));

    QTest::keyClick(window.view(), Qt::Key_Escape);
    QTRY_VERIFY(!window.isVisible());
    QVERIFY(!state.FatalErrorReported);
  }

  void ClientAreaHasAMinimumSize() {
    AppState state;
    MainWindow window(state);
    QVERIFY(ShownOnScreen(window));
    window.resize(20, 20);
    QCoreApplication::processEvents();
    QVERIFY(window.view()->width() >= 180);
    QVERIFY(window.view()->height() >= 100);
  }

  void FatalErrorShowsTheTextAsItStands() {
    AppState state;
    MainWindow window(state);
    QVERIFY(ShownOnScreen(window));
    MessageBoxSeen seen;
    AcceptNextMessageBox(seen);
    window.application().FatalError("Couldn't open <b>50%d</b>.cpd");
    QCOMPARE(seen.title, QStringLiteral("Tavrel"));
    QCOMPARE(seen.text, QStringLiteral("Couldn't open <b>50%d</b>.cpd"));
    QCOMPARE(seen.format, Qt::PlainText);
    QVERIFY(state.FatalErrorReported);
    QTRY_VERIFY(!window.isVisible());
  }

  void HelpWritesTheUsageTextAndSaysSo() {
    TemporaryWorkingDirectory folder;
    AppState state;
    MainWindow window(state);
    QVERIFY(ShownOnScreen(window));
    MessageBoxSeen seen;
    AcceptNextMessageBox(seen);
    window.fileMenu()->actions().at(3)->trigger();
    QCOMPARE(seen.text, QStringLiteral("Please read README.txt"));
    QVERIFY(std::filesystem::exists(folder.path() / "README.txt"));
    QVERIFY(window.isVisible());
  }

  void DirectionsFileRunsBehindTheProgressDialog() {
    TemporaryWorkingDirectory folder;
    const QString path = WritePairAndDirections(folder, Entry("a0.bmp", "a1.bmp", 2, "a.dis"));

    AppState state;
    MainWindow window(state);
    QVERIFY(ShownOnScreen(window));
    QSignalSpy finished(&window, &MainWindow::runFinished);
    window.OpenDirectionsFile(path);
    QVERIFY(window.running());
    // No command is taken while the file runs (Esc would cancel it).
    QTest::keyClick(&window, Qt::Key_F4);
    QVERIFY(finished.wait(60000));
    QVERIFY(window.isVisible());
    QCOMPARE(window.caption(), QStringLiteral("Disparity 2"));
    QCOMPARE(window.view()->picture().size(), QSize(40, 30));
    QCOMPARE(window.view()->size(), QSize(180, 100));  // the image is below the minimum
    QCOMPARE(state.DirectionsLoaded, 1);

    // The mouse reaches the slice views with the row under the pointer (the
    // pointer parked elsewhere first, so that the row is a new one).
    QCursor::setPos(window.view()->mapToGlobal(QPoint(0, 500)));
    QTest::mousePress(window.view(), Qt::RightButton, Qt::NoModifier, QPoint(10, 12));
    QCOMPARE(window.caption(), QStringLiteral("Ln 2D Slice  12"));
    QTest::mouseRelease(window.view(), Qt::RightButton, Qt::NoModifier, QPoint(10, 12));
    QTest::keyClick(window.view(), Qt::Key_F4);
    QCOMPARE(window.caption(), QStringLiteral("Confidence 2"));

    // The caption sits on the menu bar, right of the File menu.
    auto* label = window.menuBar()->findChild<QLabel*>();
    QVERIFY(label != nullptr);
    QCOMPARE(label->text(), QStringLiteral("Confidence 2"));
    QVERIFY(label->x() > window.menuBar()->actionGeometry(window.fileMenu()->menuAction()).right());
  }

  // Zoom keys, the status bar under the pointer, the sliced row's mark, Save
  // picture and P's notice, on one computed window.
  void ZoomReadoutMarkSaveAndPrint() {
    TemporaryWorkingDirectory folder;
    const QString path = WritePairAndDirections(folder, Entry("a0.bmp", "a1.bmp", 2, "a.dis"));
    AppState state;
    MainWindow window(state);
    QVERIFY(ShownOnScreen(window));
    QSignalSpy finished(&window, &MainWindow::runFinished);
    window.OpenDirectionsFile(path);
    QVERIFY(finished.wait(60000));
    PictureView* view = window.view();
    const QImage shown = view->picture();
    // Menu shortcuts reach only the active window.
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    // Zoomed in four steps (1.5, 2, 3, 4) about the view's centre, then
    // scrolled to the top-left: view point (50, 41) is picture pixel (10, 12);
    // the scroll bars appear outside the picture area once it no longer fits.
    QCursor::setPos(view->mapToGlobal(QPoint(-50, -50)));
    for (int i = 0; i < 4; ++i) QTest::keyClick(view, Qt::Key_Plus);
    QCOMPARE(view->transform().zoom(), 4.0);
    QVERIFY(view->transform().scroll_y() > 0);
    window.pictureArea()->horizontalBar()->setValue(0);
    window.pictureArea()->verticalBar()->setValue(0);
    QCOMPARE(view->transform().PictureAt(50, 41).row, 10);
    QTRY_VERIFY(window.pictureArea()->verticalBar()->isVisible());
    QCOMPARE(view->picture(), shown);

    QTest::mouseMove(view, QPoint(50, 41));
    QTRY_VERIFY(window.readout().startsWith(QStringLiteral("row 10  column 12   image 0 ")));
    QVERIFY(window.readout().contains(QStringLiteral("disparity ")));

    // A held button slices the image row under the pointer at any zoom, and
    // marks it on the screen only (the pointer parked on another row first,
    // so that the press presents at once).
    QCursor::setPos(view->mapToGlobal(QPoint(0, 99)));
    view->repaint();
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, QPoint(50, 41));
    QCOMPARE(window.caption(), QStringLiteral("L0 2D Slice  10"));
    QCOMPARE(view->markedRow(), 10);
    QVERIFY(window.readout().startsWith(QStringLiteral("L0 slice of row 10  column 12")));
    const QString saved = QString::fromStdString((folder.path() / "slice.png").string());
    QCOMPARE(window.SavePicture(saved), QString());
    QImage written(saved);
    QCOMPARE(written.size(), QSize(40, 30));
    QCOMPARE(written.convertToFormat(QImage::Format_RGB32), view->picture());
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, QPoint(50, 41));
    QCOMPARE(view->markedRow(), -1);

    QTest::keyClick(view, Qt::Key_1);
    QCOMPARE(view->transform().zoom(), 1.0);
    QTRY_VERIFY(!window.pictureArea()->verticalBar()->isVisible());
    QTRY_COMPARE(view->size(), QSize(180, 100));
    QTest::keyClick(view, Qt::Key_0);
    QCOMPARE(view->transform().zoom(), 100.0 / 30);

    // M colours the map and shows the scale's ends; G is exact grey again.
    QTest::keyClick(view, Qt::Key_F3);
    QCOMPARE(view->picture(), shown);
    QTest::keyClick(view, Qt::Key_M);
    QVERIFY(window.colourBar()->isVisible());
    QCOMPARE(window.colourBar()->lowText(), QStringLiteral("0"));
    QCOMPARE(window.colourBar()->highText(), QStringLiteral("12"));
    QVERIFY(view->picture() != shown);
    QTRY_COMPARE(view->size(), QSize(180, 100));
    QTest::keyClick(view, Qt::Key_G);
    QVERIFY(!window.colourBar()->isVisible());
    QCOMPARE(view->picture(), shown);

    // V opens the profile beside the picture area, which keeps its width (and
    // its height when the picture is taller than the panel); it follows the
    // pointer, and each I adds a curve.
    QTest::keyClick(view, Qt::Key_1);
    const QSize area = view->size();
    QTest::keyClick(view, Qt::Key_V);
    QVERIFY(window.profileShown());
    QTRY_COMPARE(view->width(), area.width());
    QTest::mouseMove(view, QPoint(20, 15));
    QTRY_VERIFY(window.profilePanel()->profile().has_value());
    QCOMPARE(window.profilePanel()->profile()->row, 15);
    QTest::keyClick(view, Qt::Key_I);
    QTest::keyClick(view, Qt::Key_I);
    QCOMPARE(window.profilePanel()->profile()->current.size(), std::size_t{3});
    QVERIFY(window.profilePanel()->summary().startsWith(
        QStringLiteral("Row 15, column 20, after 4 iteration(s)")));
    QTest::keyClick(view, Qt::Key_V);
    QVERIFY(!window.profileShown());
    QTRY_COMPARE(view->width(), area.width());

    QTest::keyClick(view, Qt::Key_P);
    QCOMPARE(window.notice(),
             QString::fromStdString("Wrote " + (folder.path() / "a.dis").string()));
    QVERIFY(!window.SavePicture(QStringLiteral("/no/such/folder/x.png")).isEmpty());
  }

  // --ground-truth's route: the truth loads before the run, F5 shows the
  // error view with the scorer's figures; a file that cannot be read is
  // shown in a box and the window goes on.
  void GroundTruthGivesTheErrorView() {
    TemporaryWorkingDirectory folder;
    const QString path = WritePairAndDirections(folder, Entry("a0.bmp", "a1.bmp", 3, "a.dis"));
    FloatArray truth(40, 30, 1);
    truth.Fill(-3.0f);
    QVERIFY(WritePfm(truth, 0, (folder.path() / "gt.pfm").string()));

    AppState state;
    MainWindow window(state);
    QVERIFY(ShownOnScreen(window));
    MessageBoxSeen seen;
    AcceptNextMessageBox(seen);
    QVERIFY(!window.LoadGroundTruth(QStringLiteral("missing.pfm")));
    QVERIFY(seen.text.startsWith(QStringLiteral("Could not load the ground truth missing.pfm\n")));
    QVERIFY(window.isVisible());

    QVERIFY(window.LoadGroundTruth(QStringLiteral("gt.pfm")));
    QSignalSpy finished(&window, &MainWindow::runFinished);
    window.OpenDirectionsFile(path);
    QVERIFY(finished.wait(60000));
    QTest::keyClick(window.view(), Qt::Key_F5);
    QVERIFY(window.caption().startsWith(QStringLiteral("Error 3  bad2 ")));
    QVERIFY(window.colourBar()->isVisible());
    QCOMPARE(window.colourBar()->lowText(), QStringLiteral("-2"));
  }

  // A picture larger than the screen opens fitted to it, whole; the next
  // one that fits is shown one to one again.
  void LargePictureOpensFittedToTheScreen() {
    AppState state;
    MainWindow window(state);
    QVERIFY(ShownOnScreen(window));
    const QSize screen = window.screen()->availableGeometry().size();
    const Surface large(screen.width() + 300, screen.height() + 200);
    window.ShowPicture(large, "large.bmp");
    QTRY_COMPARE(window.caption(), QStringLiteral("large.bmp"));
    QVERIFY(window.view()->transform().zoom() < 1.0);
    QVERIFY(window.height() <= screen.height());
    QTRY_VERIFY(window.view()->transform().ScaledWidth() <= window.view()->width());
    QVERIFY(window.view()->transform().ScaledHeight() <= window.view()->height());
    QVERIFY(!window.pictureArea()->verticalBar()->isVisible());

    window.ShowPicture(Surface(300, 200), "small.bmp");
    QTRY_COMPARE(window.caption(), QStringLiteral("small.bmp"));
    QCOMPARE(window.view()->transform().zoom(), 1.0);
    QTRY_COMPARE(window.view()->size(), QSize(300, 200));
  }

  // Esc and the Cancel button each stop a run that would never end by itself;
  // the entry before it stays written and the window stays open.
  void EscapeAndCancelStopTheRunAndKeepTheWindow() {
    TemporaryWorkingDirectory folder;
    const QString path =
        WritePairAndDirections(folder, Entry("a0.bmp", "a1.bmp", 1, "a.dis") +
                                           Entry("a0.bmp", "a1.bmp", 2147483647, "b.dis"));

    AppState state;
    MainWindow window(state);
    QVERIFY(ShownOnScreen(window));
    QSignalSpy finished(&window, &MainWindow::runFinished);
    for (int attempt = 0; attempt < 2; ++attempt) {
      window.OpenDirectionsFile(path);
      QTest::qWait(300);
      if (attempt == 0) {
        QTest::keyClick(&window, Qt::Key_Escape);
      } else {
        QTest::mouseClick(window.progressDialog()->cancelButton(), Qt::LeftButton);
      }
      QVERIFY(finished.wait(60000));
      QVERIFY(window.isVisible());
      QVERIFY(!window.running());
      QCOMPARE(state.DirectionsLoaded, 0);
      QVERIFY(std::filesystem::exists(folder.path() / "a.dis"));
      QVERIFY(!std::filesystem::exists(folder.path() / "b.dis"));
      QVERIFY(!state.FatalErrorReported);
    }

    // The close box stops the run too, and then closes the window.
    window.OpenDirectionsFile(path);
    QTest::qWait(300);
    window.close();
    QVERIFY(window.isVisible());
    QVERIFY(finished.wait(60000));
    QTRY_VERIFY(!window.isVisible());
    QVERIFY(!std::filesystem::exists(folder.path() / "b.dis"));
  }

  void OutputThatCannotBeWrittenIsShownInABox() {
    TemporaryWorkingDirectory folder;
    const QString path = WritePairAndDirections(folder, Entry("a0.bmp", "a1.bmp", 1, "gone/a.dis"));

    AppState state;
    MainWindow window(state);
    QVERIFY(ShownOnScreen(window));
    QSignalSpy finished(&window, &MainWindow::runFinished);
    MessageBoxSeen seen;
    AcceptMessageBoxOnceShown(seen, &window);
    window.OpenDirectionsFile(path);
    QVERIFY(finished.wait(60000));
    QCOMPARE(seen.text,
             QString::fromStdString("Could not write " + (folder.path() / "gone/a.dis").string()));
    QVERIFY(window.isVisible());
    QCOMPARE(state.DirectionsLoaded, 1);
  }
};

}  // namespace tavrel

QTEST_MAIN(tavrel::MainWindowTest)
#include "test_main_window.moc"
