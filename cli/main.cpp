// tavrel-batch: runs directions files without a window, for scripts and
// clusters. See HelpText() for the command line and the exit statuses.

#include <signal.h>
#include <unistd.h>

#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "cli/cli_host.h"
#include "cli/options.h"
#include "cli/progress_reporter.h"
#include "cli/stop_signals.h"
#include "engine/isa_path.h"
#include "engine/stereo_matcher.h"
#include "files/batch_run.h"
#include "files/usage_text.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFatal = 1;
constexpr int kResultLost = 2;

int Run(const tavrel::cli::Options& options) {
  using namespace tavrel;
  bool resultLost = false;
  std::string reason;
  if (options.writeReadme && !WriteReadme("README.txt", &reason)) {
    std::cerr << "tavrel-batch: could not write README.txt\n" << reason << "\n";
    resultLost = true;
  }

  StereoMatcher matcher;
  EntryImages images;
  cli::ProgressReporter progress(std::cerr, isatty(STDERR_FILENO) == 1, options.quiet);
  cli::CliHost host(matcher, options, progress, std::cerr);
  const std::vector<std::string> beside = cli::BesideSuffixes(options);
  for (const std::string& file : options.directionsFiles) {
    if (cli::StopSignal() != 0) throw RunStopped();
    if (!ProcessDirectionsFile(file, matcher, images, host, beside)) return kFatal;
  }
  if (cli::StopSignal() != 0) throw RunStopped();
  return resultLost || host.ResultLost() ? kResultLost : kSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavrel;
  cli::InstallStopSignals();
  cli::Options options;
  try {
    options = cli::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const cli::UsageError& error) {
    std::cerr << "tavrel-batch: " << error.what() << "\n"
              << "Try 'tavrel-batch --help' for more information.\n";
    return kFatal;
  } catch (const std::exception& error) {
    std::cerr << "tavrel-batch: " << error.what() << "\n";
    return kFatal;
  }
  if (options.help) {
    std::cout << cli::HelpText();
    return kSuccess;
  }
  if (options.version) {
    std::cout << "tavrel-batch " << TAVREL_VERSION << "\n";
    return kSuccess;
  }

  try {
    ActiveIsaPath();
  } catch (const IsaPathError& error) {
    std::cerr << "tavrel-batch: " << error.what() << "\n"
              << "Try 'tavrel-batch --help' for more information.\n";
    return kFatal;
  }

  // Whatever the run did not turn into its own message ends here, never in
  // an abort: files written so far stay, and no temporary is left.
  try {
    return Run(options);
  } catch (const RunStopped&) {
    const int signal = cli::StopSignal();
    std::cerr << "\ntavrel-batch: stopped by " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << "\n";
    return cli::StoppedStatus(signal);
  } catch (const std::bad_alloc&) {
    std::cerr << "tavrel-batch: not enough memory\n";
  } catch (const std::exception& error) {
    std::cerr << "tavrel-batch: " << error.what() << "\n";
  } catch (...) {
    std::cerr << "tavrel-batch: the run failed for a reason it could not name\n";
  }
  return kFatal;
}
