#include "cli/progress_reporter.h"

#include <cstdio>

namespace tavrel::cli {
namespace {

constexpr int kBarWidth = 24;

std::string Seconds(std::chrono::steady_clock::time_point since) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

}  // namespace

std::string ProgressReporter::Stage(const BatchProgress& p) const {
  switch (p.stage) {
    case BatchStage::Loading:
      return "loading images";
    case BatchStage::InitialMatchValues:
      return "L0";
    case BatchStage::Iteration:
      return "iteration " + std::to_string(p.step) + " of " + std::to_string(p.steps);
    case BatchStage::Extraction:
      return "extraction";
    case BatchStage::Writing:
      return "writing";
  }
  return "";
}

// Loading and L0 count as one step each, then every iteration, then
// extraction and writing.
double ProgressReporter::Fraction(const BatchProgress& p) const {
  const int iterations = p.job ? std::max(p.job->Params.NumIterations, 0) : 0;
  const double total = 4.0 + iterations;
  double done = 0.0;
  switch (p.stage) {
    case BatchStage::Loading:
      done = 0.0;
      break;
    case BatchStage::InitialMatchValues:
      done = 1.0 + (p.steps > 0 ? static_cast<double>(p.step - 1) / p.steps : 0.0);
      break;
    case BatchStage::Iteration:
      done = 2.0 + std::max(p.step - 1, 0);
      break;
    case BatchStage::Extraction:
      done = 2.0 + iterations;
      break;
    case BatchStage::Writing:
      done = 3.0 + iterations;
      break;
  }
  return done / total;
}

void ProgressReporter::Report(const BatchProgress& p) {
  if (quiet_) return;
  if (p.entry != entry_) {
    Interrupt();
    entry_ = p.entry;
    entryStart_ = std::chrono::steady_clock::now();
    if (!terminal_ && p.job) {
      out_ << "tavrel-batch: entry " << p.entry << " of " << p.entries << ": " << p.job->Image0Name
           << " " << p.job->Image1Name << " -> " << p.job->OutputFileName << std::endl;
    }
  }
  if (terminal_) {
    const int filled = static_cast<int>(Fraction(p) * kBarWidth + 0.5);
    out_ << "\r\033[K[" << std::string(filled, '#') << std::string(kBarWidth - filled, '.')
         << "] entry " << p.entry << "/" << p.entries;
    if (p.job) out_ << " " << p.job->Image0Name << " " << p.job->Image1Name;
    out_ << ": " << Stage(p) << " (" << Seconds(entryStart_) << ")" << std::flush;
    lineOpen_ = true;
  } else if (p.stage != BatchStage::Loading) {
    out_ << "tavrel-batch:   " << Stage(p) << " (" << Seconds(entryStart_) << ")" << std::endl;
  }
}

void ProgressReporter::EntryFinished(const std::string& outputFile, bool written) {
  if (quiet_) return;
  if (terminal_) out_ << "\r\033[K";
  out_ << "tavrel-batch: entry " << entry_ << (written ? " done in " : " ended in ")
       << Seconds(entryStart_) << (written ? ": " : " without its output file: ") << outputFile
       << std::endl;
  lineOpen_ = false;
}

void ProgressReporter::Interrupt() {
  if (lineOpen_) out_ << std::endl;
  lineOpen_ = false;
}

}  // namespace tavrel::cli
