#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "cli/progress_reporter.h"
#include "engine/stereo_matcher.h"
#include "files/batch_run.h"

namespace tavrel::cli {

// The batch run's host without a window: images come from the files, results
// go to the output files (and the pictures the options ask for), every report
// to standard error.
class CliHost : public BatchHost {
 public:
  // The host renders the confidence map for --png through `matcher`, the same
  // object the batch run drives.
  CliHost(StereoMatcher& matcher, const Options& options, ProgressReporter& progress,
          std::ostream& errors)
      : matcher_(matcher), options_(options), progress_(progress), errors_(errors) {}

  std::unique_ptr<FloatArray> LoadImage(int which, const std::string& path, int bands) override;
  // Throws RunStopped once a stop signal has come.
  void Progress(const BatchProgress& progress) override;
  void EntryDone(const StereoJob& job, const StereoMatcher& matcher,
                 const std::string& caption) override;
  void EntryLoaded(const StereoJob& job, const FloatArray& image0) override;
  void OutputNotWritten(const std::string& path) override;
  void OutputNotWritten(const std::string& path, const std::string& reason) override;
  void Warning(const std::string& message) override;
  void FatalError(const std::string& message) override;
  // The plan's line on standard output: number, images, size, disparities,
  // bytes, and whether the output can be written, separated by tabs.
  void Planned(const EntryPlan& plan) override;
  bool KeepsVolumes() const override { return false; }
  // Only the pictures and PFM files are made from the whole maps.
  bool NeedsResultMaps() const override {
    return options_.png || options_.pfm || options_.confidencePfm;
  }

  // Some file of a finished entry could not be created or fully written.
  bool ResultLost() const { return resultLost_; }
  // The largest of the bytes planned so far.
  double PeakBytes() const { return peakBytes_; }

 private:
  void WriteExtras();
  void WritePicture(const std::string& path, std::string_view bytes);

  StereoMatcher& matcher_;
  const Options& options_;
  ProgressReporter& progress_;
  std::ostream& errors_;
  bool resultLost_ = false;
  bool outputLost_ = false;  // the current entry's output file
  double peakBytes_ = 0.0;
};

// What the host writes beside each output file for these options, as
// suffixes for BesideOutput.
std::vector<std::string> BesideSuffixes(const Options& options);

}  // namespace tavrel::cli
