// tavrel-batch: runs directions files without a window, for scripts and
// clusters. See HelpText() for the command line and the exit statuses.

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_host.h"
#include "cli/options.h"
#include "cli/progress_reporter.h"
#include "engine/isa_path.h"
#include "engine/stereo_matcher.h"
#include "files/batch_run.h"
#include "files/usage_text.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFatal = 1;
constexpr int kResultLost = 2;

}  // namespace

int main(int argc, char** argv) {
  using namespace tavrel;
  cli::Options options;
  try {
    options = cli::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const cli::UsageError& error) {
    std::cerr << "tavrel-batch: " << error.what() << "\n"
              << "Try 'tavrel-batch --help' for more information.\n";
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

  bool resultLost = false;
  if (options.writeReadme && !WriteReadme("README.txt")) {
    std::cerr << "tavrel-batch: could not write README.txt\n";
    resultLost = true;
  }

  StereoMatcher matcher;
  EntryImages images;
  cli::ProgressReporter progress(std::cerr, isatty(STDERR_FILENO) == 1, options.quiet);
  cli::CliHost host(matcher, options, progress, std::cerr);
  for (const std::string& file : options.directionsFiles) {
    if (!ProcessDirectionsFile(file, matcher, images, host)) return kFatal;
  }
  return resultLost || host.ResultLost() ? kResultLost : kSuccess;
}
