#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tavrel::cli {

// The sign of the disparities --pfm writes: the program's own, or the
// benchmarks' (positive, +inf in the frame where there is no estimate).
enum class PfmSign { Own, Positive };

struct Options {
  bool quiet = false;
  bool png = false;
  bool pfm = false;
  PfmSign pfmSign = PfmSign::Own;
  bool confidencePfm = false;
  bool writeReadme = false;
  bool help = false;
  bool version = false;
  std::string entries;  // --entries LIST, as given
  std::string shard;    // --shard K/N, as given
  bool keepGoing = false;
  bool plan = false;
  bool skipExisting = false;
  int threads = 0;  // 0: as OMP_NUM_THREADS or the processor decides
  std::string outputDir;
  std::vector<std::string> directionsFiles;  // "-" is standard input
};

// A command line that cannot be followed; what() says why.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the arguments after the program name. "--" ends the options, so that
// a directions file whose name starts with "-" can still be given.
Options ParseOptions(const std::vector<std::string>& arguments);

std::string HelpText();

}  // namespace tavrel::cli
