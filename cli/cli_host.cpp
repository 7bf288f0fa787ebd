#include "cli/cli_host.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>

#include "cli/stop_signals.h"
#include "display/result_maps.h"
#include "evaluation/exported_maps.h"
#include "files/atomic_file.h"
#include "files/output_paths.h"
#include "files/pfm_writing.h"
#include "imageio/grey_png.h"
#include "imageio/image_loading.h"

namespace tavrel::cli {

std::vector<std::string> BesideSuffixes(const Options& options) {
  std::vector<std::string> suffixes;
  if (options.png) suffixes.insert(suffixes.end(), {".confidence.png", ".disparity.png"});
  if (options.pfm) suffixes.push_back(".pfm");
  if (options.confidencePfm) suffixes.push_back(".confidence.pfm");
  return suffixes;
}

std::unique_ptr<FloatArray> CliHost::LoadImage(int /*which*/, const std::string& path, int bands) {
  return LoadImageGrid(path, bands);
}

// An entry whose folder is missing is reported lost before it loads, and
// never gets this far.
void CliHost::EntryLoaded(const StereoJob& /*job*/, const FloatArray& /*image0*/) {
  outputLost_ = false;
}

void CliHost::EntryDone(const StereoJob& /*job*/, const StereoMatcher& /*matcher*/,
                        const std::string& /*caption*/) {
  WriteExtras();
  progress_.EntryFinished(matcher_.OutputFileName, !outputLost_);
}

void CliHost::Progress(const BatchProgress& progress) {
  if (StopSignal() != 0) throw RunStopped();
  progress_.Report(progress);
}

// Nothing is made beside a device or a FIFO.
void CliHost::WriteExtras() {
  const std::string& output = matcher_.OutputFileName;
  if (IsWrittenDirectly(output)) return;
  if (options_.png) {
    // The pictures the window shows for F3 and F4; the disparity map is drawn
    // last so that DisplayMap ends as the batch run left it.
    ConfidenceToDisplay(matcher_);
    const std::vector<std::uint8_t> confidence = EncodeGreyPng(*matcher_.DisplayMap());
    DisparityToDisplay(matcher_);
    const std::vector<std::uint8_t> disparity = EncodeGreyPng(*matcher_.DisplayMap());
    auto bytes = [](const std::vector<std::uint8_t>& png) {
      return std::string_view(reinterpret_cast<const char*>(png.data()), png.size());
    };
    WritePicture(BesideOutput(output, ".confidence.png"), bytes(confidence));
    WritePicture(BesideOutput(output, ".disparity.png"), bytes(disparity));
  }
  if (options_.pfm) {
    const std::string pfm = BesideOutput(output, ".pfm");
    std::string reason;
    const bool written =
        options_.pfmSign == PfmSign::Positive
            ? WritePfm(*BenchmarkSignDisparity(*matcher_.DispConf()), 0, pfm, &reason)
            : WritePfm(*matcher_.DispConf(), 0, pfm, &reason);
    if (!written) OutputNotWritten(pfm, reason);
  }
  if (options_.confidencePfm) {
    const std::string pfm = BesideOutput(output, ".confidence.pfm");
    std::string reason;
    if (!WritePfm(*matcher_.DispConf(), 1, pfm, &reason)) OutputNotWritten(pfm, reason);
  }
}

void CliHost::WritePicture(const std::string& path, std::string_view bytes) {
  std::string reason = "the picture could not be encoded";
  if (bytes.empty() || !WriteWholeFile(path, bytes, &reason)) OutputNotWritten(path, reason);
}

void CliHost::OutputNotWritten(const std::string& path) { OutputNotWritten(path, ""); }

void CliHost::OutputNotWritten(const std::string& path, const std::string& reason) {
  progress_.Interrupt();
  errors_ << "tavrel-batch: could not write " << path << "\n";
  if (!reason.empty()) errors_ << reason << "\n";
  errors_.flush();
  resultLost_ = true;
  if (path == matcher_.OutputFileName) outputLost_ = true;
}

void CliHost::Warning(const std::string& message) {
  if (options_.quiet) return;
  progress_.Interrupt();
  errors_ << "tavrel-batch: warning: " << message << std::endl;
}

void CliHost::Planned(const EntryPlan& plan) {
  peakBytes_ = std::max(peakBytes_, plan.bytes);
  // Names in a directions file hold no white space, so a space parts the two.
  std::cout << plan.entry << '\t' << plan.job->Image0Name << ' ' << plan.job->Image1Name << '\t'
            << plan.columns << 'x' << plan.rows << '\t' << plan.disparities << '\t'
            << static_cast<unsigned long long>(std::ceil(plan.bytes)) << '\t'
            << (plan.writable ? "writable" : "not writable") << '\n'
            << std::flush;
}

void CliHost::FatalError(const std::string& message) {
  progress_.Interrupt();
  errors_ << "tavrel-batch: " << message << std::endl;
}

}  // namespace tavrel::cli
