#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include "files/batch_run.h"

namespace tavrel::cli {

// Tells on standard error where the run stands: on a terminal one line per
// entry that is redrawn with a bar, otherwise a plain line per stage, so that
// a log shows a long job moving.
class ProgressReporter {
 public:
  ProgressReporter(std::ostream& out, bool terminal, bool quiet)
      : out_(out), terminal_(terminal), quiet_(quiet) {}

  void Report(const BatchProgress& progress);
  // The entry has ended, its output file written or, if not `written`,
  // reported lost; ends its line.
  void EntryFinished(const std::string& outputFile, bool written);
  // Ends a redrawn line before any other text goes to the same stream.
  void Interrupt();

 private:
  std::string Stage(const BatchProgress& progress) const;
  double Fraction(const BatchProgress& progress) const;

  std::ostream& out_;
  bool terminal_;
  bool quiet_;
  bool lineOpen_ = false;
  int entry_ = 0;
  std::chrono::steady_clock::time_point entryStart_;
};

}  // namespace tavrel::cli
