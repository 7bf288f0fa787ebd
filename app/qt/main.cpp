#include <QApplication>
#include <QIcon>
#include <QStringList>

#include "app/app_state.h"
#include "app/qt/main_window.h"

// tavrel [DIRECTIONS.cpd]: the window; a directions file named on the command
// line is opened at start-up as File/Open would. Exit status 1 after a fatal
// error, 0 otherwise.
int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tavrel"));
  QIcon icon;
  icon.addFile(QStringLiteral(":/tavrel/icon_32.png"));
  icon.addFile(QStringLiteral(":/tavrel/icon_16.png"));
  QApplication::setWindowIcon(icon);

  tavrel::AppState state;
  tavrel::MainWindow window(state);
  window.show();

  const QStringList arguments = QApplication::arguments();
  if (arguments.size() > 1) window.OpenDirectionsFile(arguments.at(1));

  QApplication::exec();
  return state.FatalErrorReported ? 1 : 0;
}
