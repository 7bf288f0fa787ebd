// tavrel-batch: runs directions files without a window, for scripts and
// clusters. See HelpText() for the command line and the exit statuses.

#include <signal.h>
#include <unistd.h>

#ifdef _OPENMP
#include <omp.h>
#endif

#include <algorithm>
#include <cmath>
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
#include "engine/job_memory.h"
#include "engine/stereo_matcher.h"
#include "files/atomic_file.h"
#include "files/batch_run.h"
#include "files/usage_text.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFatal = 1;
constexpr int kResultLost = 2;

tavrel::RunSettings SettingsOf(const tavrel::cli::Options& options) {
  tavrel::RunSettings settings;
  settings.besideSuffixes = tavrel::cli::BesideSuffixes(options);
  settings.selection = tavrel::EntrySelection::Parse(options.entries, options.shard);
  settings.keepGoing = options.keepGoing;
  settings.skipExisting = options.skipExisting;
  settings.plan = options.plan;
  settings.outputDir = options.outputDir;
  return settings;
}

// What a log needs to tell runs apart: the build, the vector code and the
// threads, none of which changes the results.
void PrintHeader(const tavrel::cli::Options& options) {
  if (options.quiet || options.plan) return;
  std::cerr << "tavrel-batch " << TAVREL_VERSION << ", vector path "
            << tavrel::IsaPathName(tavrel::ActiveIsaPath()) << ", " << tavrel::EngineThreads()
            << (tavrel::EngineThreads() == 1 ? " thread" : " threads") << std::endl;
}

void PrintSummary(const std::vector<std::string>& failed, bool plan) {
  if (failed.empty()) return;
  std::cerr << "tavrel-batch: " << failed.size() << (failed.size() == 1 ? " entry" : " entries")
            << (plan ? " can never run:" : " failed:") << "\n";
  for (const std::string& entry : failed) std::cerr << "  " << entry << "\n";
  std::cerr.flush();
}

int Run(const tavrel::cli::Options& options) {
  using namespace tavrel;
  bool resultLost = false;
  std::string reason;
  if (options.writeReadme && !WriteReadme("README.txt", &reason)) {
    std::cerr << "tavrel-batch: could not write README.txt\n" << reason << "\n";
    resultLost = true;
  }
  PrintHeader(options);

  StereoMatcher matcher;
  EntryImages images;
  cli::ProgressReporter progress(std::cerr, isatty(STDERR_FILENO) == 1, options.quiet);
  cli::CliHost host(matcher, options, progress, std::cerr);
  const RunSettings settings = SettingsOf(options);
  RunTally tally;
  for (const std::string& file : options.directionsFiles) {
    if (cli::StopSignal() != 0) throw RunStopped();
    if (!ProcessDirectionsFile(file, matcher, images, host, settings, tally)) {
      PrintSummary(tally.failed, options.plan);
      return kFatal;
    }
  }
  if (cli::StopSignal() != 0) throw RunStopped();
  if (options.plan) {
    std::cout << "peak " << static_cast<unsigned long long>(std::ceil(host.PeakBytes())) << "\n"
              << std::flush;
  }
  PrintSummary(tally.failed, options.plan);
  if (!tally.failed.empty()) return kFatal;
  return resultLost || host.ResultLost() ? kResultLost : kSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavrel;
  cli::InstallStopSignals();
  SetWriteInterruption([] { return cli::StopSignal() != 0; });
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

#ifdef _OPENMP
  if (options.threads > 0) omp_set_num_threads(options.threads);
#endif

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
