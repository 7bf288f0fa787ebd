#include "cli/options.h"

namespace tavrel::cli {

Options ParseOptions(const std::vector<std::string>& arguments) {
  Options options;
  bool optionsEnded = false;
  for (const std::string& argument : arguments) {
    if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
      options.directionsFiles.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "-q" || argument == "--quiet") {
      options.quiet = true;
    } else if (argument == "--png") {
      options.png = true;
    } else if (argument == "--pfm") {
      options.pfm = true;
    } else if (argument == "--write-readme") {
      options.writeReadme = true;
    } else if (argument == "-h" || argument == "--help") {
      options.help = true;
    } else if (argument == "-V" || argument == "--version") {
      options.version = true;
    } else {
      throw UsageError("unknown option '" + argument + "'");
    }
  }
  if (!options.help && !options.version && !options.writeReadme &&
      options.directionsFiles.empty()) {
    throw UsageError("no directions file given");
  }
  return options;
}

std::string HelpText() {
  return R"(Usage: tavrel-batch [OPTIONS] FILE.cpd...

Runs every entry of each directions file without a window: loads the two
images, computes disparity and confidence, and writes the entry's output file.
Relative names inside a directions file are taken relative to its folder.

Options:
  --png           also write NAME.disparity.png and NAME.confidence.png beside
                  each output file NAME.ext, the maps as the window shows them
  --pfm           also write the disparity as NAME.pfm (32-bit float, bottom
                  row first)
  -q, --quiet     no progress on standard error
  --write-readme  write the usage text README.txt into the current folder
  -h, --help      show this text and exit
  -V, --version   show the version and exit

Exit status:
  0  every entry was run and every file written
  1  a directions file or an image could not be used (or a bad command line);
     the run stops there, earlier entries keep their files
  2  every entry was run, but some file could not be created or written
  130, 143  stopped by SIGINT or SIGTERM; files written so far are whole
)";
}

}  // namespace tavrel::cli
