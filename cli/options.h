#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tavrel::cli {

struct Options {
  bool quiet = false;
  bool png = false;
  bool pfm = false;
  bool writeReadme = false;
  bool help = false;
  bool version = false;
  std::vector<std::string> directionsFiles;
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
