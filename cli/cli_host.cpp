#include "cli/cli_host.h"

#include <filesystem>

#include "display/grey_png.h"
#include "display/image_loading.h"
#include "evaluation/exported_maps.h"
#include "files/pfm_file.h"

namespace tavrel::cli {

std::string BesideOutput(const std::string& outputFile, const std::string& suffix) {
  std::filesystem::path path(outputFile);
  if (path.has_extension()) path.replace_extension();
  std::string name = path.string() + suffix;
  if (name == outputFile) name = outputFile + suffix;
  return name;
}

std::unique_ptr<FloatArray> CliHost::LoadImage(int /*which*/, const std::string& path, int bands) {
  return LoadImageGrid(path, bands);
}

void CliHost::EntryDone(const StereoJob& /*job*/, const StereoMatcher& /*matcher*/,
                        const std::string& /*caption*/) {
  WriteExtras();
  progress_.EntryFinished(matcher_.OutputFileName);
}

void CliHost::WriteExtras() {
  const std::string& output = matcher_.OutputFileName;
  if (options_.png) {
    // The pictures the window shows for F3 and F4; the disparity map is drawn
    // last so that DisplayMap ends as the batch run left it.
    matcher_.ConfidenceToDisplay();
    const std::string confidence = BesideOutput(output, ".confidence.png");
    if (!WriteGreyPng(*matcher_.DisplayMap, confidence)) OutputNotWritten(confidence);
    matcher_.DisparityToDisplay();
    const std::string disparity = BesideOutput(output, ".disparity.png");
    if (!WriteGreyPng(*matcher_.DisplayMap, disparity)) OutputNotWritten(disparity);
  }
  if (options_.pfm) {
    const std::string pfm = BesideOutput(output, ".pfm");
    const bool written = options_.pfmSign == PfmSign::Positive
                             ? WritePfm(*BenchmarkSignDisparity(*matcher_.DispConf), 0, pfm)
                             : WritePfm(*matcher_.DispConf, 0, pfm);
    if (!written) OutputNotWritten(pfm);
  }
  if (options_.confidencePfm) {
    const std::string pfm = BesideOutput(output, ".confidence.pfm");
    if (!WritePfm(*matcher_.DispConf, 1, pfm)) OutputNotWritten(pfm);
  }
}

void CliHost::OutputNotWritten(const std::string& path) {
  progress_.Interrupt();
  errors_ << "tavrel-batch: could not write " << path << std::endl;
  resultLost_ = true;
}

void CliHost::FatalError(const std::string& message) {
  progress_.Interrupt();
  errors_ << "tavrel-batch: " << message << std::endl;
}

}  // namespace tavrel::cli
