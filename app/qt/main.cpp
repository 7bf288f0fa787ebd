#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QStringList>

#include "app/app_state.h"
#include "app/qt/main_window.h"

// tavrel [--ground-truth GT.pfm] [DIRECTIONS.cpd]: the window; a directions file named on the
// command line is opened at start-up as File/Open would. Exit status 1 after a fatal error, 0
// otherwise.
int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tavrel"));
  QApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Dense two-view stereo: opens a window that runs directions files (.cpd)."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption ground_truth(
      QStringList{QStringLiteral("ground-truth")},
      QStringLiteral("A ground truth (PFM, in the benchmarks' sign) for the error view (F5)."),
      QStringLiteral("GT.pfm"));
  parser.addOption(ground_truth);
  parser.addPositionalArgument(QStringLiteral("directions"),
                               QStringLiteral("A directions file to open at start-up."),
                               QStringLiteral("[DIRECTIONS.cpd]"));
  parser.process(application);
  QIcon icon;
  icon.addFile(QStringLiteral(":/tavrel/icon_32.png"));
  icon.addFile(QStringLiteral(":/tavrel/icon_16.png"));
  QApplication::setWindowIcon(icon);

  tavrel::AppState state;
  tavrel::MainWindow window(state);
  window.show();
  window.ChooseIsaPath();
  if (state.FatalErrorReported) return 1;

  // Before the directions file moves the working directory to its own folder.
  if (parser.isSet(ground_truth)) window.LoadGroundTruth(parser.value(ground_truth));
  const QStringList arguments = parser.positionalArguments();
  if (!arguments.isEmpty()) window.OpenDirectionsFile(arguments.first());

  QApplication::exec();
  return state.FatalErrorReported ? 1 : 0;
}
