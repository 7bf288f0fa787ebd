#include "cli/options.h"

#include <optional>

#include "files/entry_selection.h"

namespace tavrel::cli {

namespace {

PfmSign ParsePfmSign(const std::string& value) {
  if (value == "own") return PfmSign::Own;
  if (value == "positive") return PfmSign::Positive;
  throw UsageError("--sign takes 'own' or 'positive', not '" + value + "'");
}

int ParseThreads(const std::string& value) {
  int threads = 0;
  std::size_t used = 0;
  try {
    threads = std::stoi(value, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != value.size() || threads < 1) {
    throw UsageError("--threads takes a whole number from 1, not '" + value + "'");
  }
  return threads;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; nullopt
// when `arguments[i]` is not that option.
std::optional<std::string> ValueOf(const std::string& name,
                                   const std::vector<std::string>& arguments, std::size_t& i) {
  const std::string& argument = arguments[i];
  if (argument.starts_with(name + "=")) return argument.substr(name.size() + 1);
  if (argument != name) return std::nullopt;
  if (i + 1 == arguments.size()) throw UsageError(name + " needs a value");
  return arguments[++i];
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
    } else if (const auto list = ValueOf("--entries", arguments, i)) {
      options.entries = *list;
    } else if (const auto shard = ValueOf("--shard", arguments, i)) {
      options.shard = *shard;
    } else if (const auto threads = ValueOf("--threads", arguments, i)) {
      options.threads = ParseThreads(*threads);
    } else if (const auto folder = ValueOf("--output-dir", arguments, i)) {
      if (folder->empty()) throw UsageError("--output-dir needs a folder");
      options.outputDir = *folder;
    } else if (argument == "--keep-going") {
      options.keepGoing = true;
    } else if (argument == "--plan") {
      options.plan = true;
    } else if (argument == "--skip-existing") {
      options.skipExisting = true;
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
  try {
    EntrySelection::Parse(options.entries, options.shard);
  } catch (const EntrySelectionError& error) {
    throw UsageError(error.what());
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

A directions file named - is read from standard input.

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
  --entries LIST  run only these entries ("3,5-9"); entries are numbered from 1
                  across all the directions files given, as the progress shows
  --shard K/N     run only the entries whose 0-based index i has i mod N = K;
                  with --entries, the entries both select
  --keep-going    report an entry whose images cannot be used or whose job is
                  refused, and go on with the rest; a summary ends the run
  --skip-existing skip entries whose output files all exist (files are
                  replaced whole, so an existing one is complete)
  --plan          compute nothing: print for each selected entry a line of
                  number, images, size, disparities, bytes the job will take
                  and whether its output can be written (tab-separated), then
                  "peak BYTES"
  --threads N     compute on N threads (as OMP_NUM_THREADS=N)
  --output-dir DIR
                  relative output names are taken in DIR, not beside the
                  directions file
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
     the run stops there, earlier entries keep their files; with --keep-going,
     some entry failed for its inputs; with --plan, some entry can never run
  2  every entry was run, but some file could not be created or written
  130, 143  stopped by SIGINT or SIGTERM; files written so far are whole
)";
}

}  // namespace tavrel::cli
