#include "cli/options.h"

namespace tavrel::cli {

namespace {

PfmSign ParsePfmSign(const std::string& value) {
  if (value == "own") return PfmSign::Own;
  if (value == "positive") return PfmSign::Positive;
  throw UsageError("--sign takes 'own' or 'positive', not '" + value + "'");
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& arguments) {
  Options options;
  bool optionsEnded = false;
  bool signGiven = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
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
    } else if (argument == "--sign") {
      if (i + 1 == arguments.size()) throw UsageError("--sign needs a value (own or positive)");
      options.pfmSign = ParsePfmSign(arguments[++i]);
      signGiven = true;
    } else if (argument.starts_with("--sign=")) {
      options.pfmSign = ParsePfmSign(argument.substr(7));
      signGiven = true;
    } else if (argument == "--confidence-pfm") {
      options.confidencePfm = true;
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
  if (signGiven && !options.pfm) throw UsageError("--sign applies to --pfm, which is not given");
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
  --sign SIGN     the sign --pfm writes: own (the default, the program's sign)
                  or positive (the benchmarks' sign, inf in the frame of 8
                  pixels where there is no estimate)
  --confidence-pfm
                  also write the confidence as NAME.confidence.pfm
  -q, --quiet     no progress on standard error
  --write-readme  write the usage text README.txt into the current folder
  -h, --help      show this text and exit
  -V, --version   show the version and exit

Environment:
  TAVREL_ISA      v4, v3 or baseline: the instruction set the engine's vector
                  code uses (default: the fastest this processor runs); every
                  choice gives the same results

Exit status:
  0  every entry was run and every file written
  1  a directions file or an image could not be used (or a bad command line);
     the run stops there, earlier entries keep their files
  2  every entry was run, but some file could not be created or written
  130, 143  stopped by SIGINT or SIGTERM; files written so far are whole
)";
}

}  // namespace tavrel::cli
