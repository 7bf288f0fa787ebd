#include "files/batch_run.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <sstream>
#include <string>

#include "engine/job_memory.h"
#include "engine/streamed_engine.h"
#include "files/atomic_file.h"
#include "files/directions_reader.h"
#include "files/memory_limit.h"
#include "files/output_file.h"
#include "files/output_paths.h"
#include "files/range_sign_check.h"

namespace tavrel {
namespace {

namespace fs = std::filesystem;

std::string Resolve(const fs::path& folder, const std::string& name) {
  const fs::path written(name);
  if (written.is_absolute() || folder.empty()) return name;
  return (folder / written).string();
}

// The folder against which the file's relative names are taken, made absolute
// so that a later change of the working directory does not move the outputs.
// A directions file that comes through a stream (a pipe, /dev/stdin, /dev/fd/N)
// has no folder of its own: its names are taken from the current directory.
fs::path FolderOf(const std::string& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(fs::path(path), error);
  if (error) return fs::path(path).parent_path();
  const std::string text = absolute.lexically_normal().string();
  const bool stream = !fs::is_regular_file(path, error) || text.rfind("/dev/", 0) == 0 ||
                      text.rfind("/proc/", 0) == 0;
  if (stream) return fs::current_path(error);
  return absolute.parent_path();
}

// What a first read of a directions file finds: the entries that were read,
// each with the message that refuses its values if any (only when refused
// entries are passed over), and the message of the entry that could not be
// read, where the reading stopped.
struct DirectionsContents {
  std::vector<StereoJob> jobs;
  std::vector<std::optional<std::string>> refusals;  // one for each job
  std::optional<std::string> failure;
  bool byteOrderMark = false;  // skipped before the first name
};

// The message as the user sees it: the first line scripts match, then where
// the file was found wanting, then why, if the reader knows.
std::string MessageOf(const DirectionsError& error) {
  const std::string what = error.what();
  const std::string detail = error.Detail();
  if (detail.empty()) return what;
  const std::size_t end = what.find('\n');
  if (end == std::string::npos) return what + "\n" + detail;
  return what.substr(0, end) + "\n" + detail + what.substr(end);
}

// Reads the whole stream once, so that a pipe can be checked like a file.
// With `passRefused`, an entry whose values no job can use is kept with its
// refusal and the reading goes on; one that cannot be read stops it always.
DirectionsContents ReadEntries(std::istream& in, const std::string& path, int entriesBefore,
                               bool passRefused) {
  DirectionsContents contents;
  DirectionsReader reader(in, path, entriesBefore);
  StereoJob job;
  try {
    while (reader.Next(job)) {
      std::optional<std::string> refusal;
      try {
        reader.CheckValues(job);
      } catch (const DirectionsError& refused) {
        if (!passRefused) throw;
        refusal = MessageOf(refused);
      }
      contents.jobs.push_back(job);
      contents.refusals.push_back(refusal);
    }
  } catch (const DirectionsError& failure) {
    contents.failure = MessageOf(failure);
  }
  contents.byteOrderMark = reader.ByteOrderMarkSkipped();
  return contents;
}

std::string FirstLine(const std::string& message) { return message.substr(0, message.find('\n')); }

// Every file an entry writes: the output, then those the host makes beside
// it. Nothing is made beside a device or a FIFO.
std::vector<std::string> FilesWritten(const std::string& output,
                                      const std::vector<std::string>& besideSuffixes) {
  std::vector<std::string> files = {output};
  if (IsWrittenDirectly(output)) return files;
  for (const std::string& suffix : besideSuffixes) files.push_back(BesideOutput(output, suffix));
  return files;
}

std::string NameOfWritten(const StereoJob& job, std::size_t index, const std::string& file) {
  if (index == 0) return "Output File " + job.OutputFileName;
  return fs::path(file).filename().string() + " (written beside Output File " + job.OutputFileName +
         ")";
}

// The output names of every entry checked against the inputs of the whole
// file: the message for the first that would overwrite one.
std::optional<std::string> OverwrittenInput(const DirectionsContents& contents,
                                            const fs::path& folder, const fs::path& outputFolder,
                                            const std::string& path,
                                            const std::vector<std::string>& besideSuffixes) {
  std::map<std::string, std::string> inputs;
  inputs.emplace(FileIdentity(path), "the directions file " + path);
  for (const StereoJob& job : contents.jobs) {
    inputs.emplace(FileIdentity(Resolve(folder, job.Image0Name)), "the image " + job.Image0Name);
    inputs.emplace(FileIdentity(Resolve(folder, job.Image1Name)), "the image " + job.Image1Name);
  }
  for (const StereoJob& job : contents.jobs) {
    const std::string output = Resolve(outputFolder, job.OutputFileName);
    if (IsWrittenDirectly(output)) continue;
    const std::vector<std::string> files = FilesWritten(output, besideSuffixes);
    for (std::size_t i = 0; i < files.size(); ++i) {
      const auto input = inputs.find(FileIdentity(files[i]));
      if (input == inputs.end()) continue;
      return NameOfWritten(job, i, files[i]) + " would overwrite " + input->second +
             "\nNothing was run: an output must not replace an input.";
    }
  }
  return std::nullopt;
}

// Warnings for files that two entries write: the later one stands.
std::vector<std::string> SharedOutputs(const DirectionsContents& contents, const fs::path& folder,
                                       int entriesBefore,
                                       const std::vector<std::string>& besideSuffixes) {
  std::map<std::string, std::size_t> writer;
  std::vector<std::string> warnings;
  for (std::size_t entry = 0; entry < contents.jobs.size(); ++entry) {
    const StereoJob& job = contents.jobs[entry];
    const std::string output = Resolve(folder, job.OutputFileName);
    if (IsWrittenDirectly(output)) continue;
    const std::vector<std::string> files = FilesWritten(output, besideSuffixes);
    for (std::size_t i = 0; i < files.size(); ++i) {
      const auto [earlier, first] = writer.emplace(FileIdentity(files[i]), entry);
      if (!first && earlier->second != entry) {
        warnings.push_back("entry " + std::to_string(entriesBefore + entry + 1) + ": " +
                           NameOfWritten(job, i, files[i]) + " is also written by entry " +
                           std::to_string(entriesBefore + earlier->second + 1) +
                           "; the later file stands");
        earlier->second = entry;
      }
    }
  }
  return warnings;
}

// Image 1 is read over image 0's size: a larger image 1 gives its top-left part.
std::unique_ptr<FloatArray> CropTo(std::unique_ptr<FloatArray> image, int columns, int rows) {
  if (image->columns() == columns && image->rows() == rows) return image;
  auto cropped = std::make_unique<FloatArray>(columns, rows, image->bands());
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      for (int b = 0; b < image->bands(); ++b) cropped->At(r, c, b) = image->At(r, c, b);
    }
  }
  return cropped;
}

// Whether all bands of the grid are equal at every pixel: a grey picture.
bool IsGrey(const FloatArray& image) {
  for (int r = 0; r < image.rows(); ++r) {
    for (int c = 0; c < image.columns(); ++c) {
      for (int b = 1; b < image.bands(); ++b) {
        if (image.Get(r, c, b) != image.Get(r, c, 0)) return false;
      }
    }
  }
  return true;
}

// Where the rows of a streamed job go as they are finished: the output file,
// the whole maps when the host needs them, and the count behind the
// range-sign warning. The file's failure ends only the file, as it would
// were the file written after the job: the job goes on for the maps, and
// the reason is told after it.
class EntryRows : public DispConfSink {
 public:
  EntryRows(const std::string& output, int rows, int columns, FloatArray* maps,
            const RangeGeometry& range)
      : tally_(range, rows, columns) {
    if (maps) plane_.emplace(*maps);
    Attempt([&] { file_.emplace(output, columns, rows); });
  }

  void Row(int row, const float* dispConf) override {
    if (file_) Attempt([&] { file_->Row(row, dispConf); });
    if (plane_) plane_->Row(row, dispConf);
    tally_.Row(row, dispConf, 2);
  }

  // Puts the file in place once the job is done; false, with the reason,
  // when it could not be written.
  bool Commit(std::string& reason) {
    if (file_) Attempt([&] { file_->Commit(); });
    reason = reason_;
    return file_.has_value();
  }

  const RangeEndsTally& tally() const { return tally_; }

 private:
  template <typename Write>
  void Attempt(Write&& write) {
    try {
      write();
    } catch (const FileWriteError& error) {
      Lose(error.what());
    } catch (const std::bad_alloc&) {
      Lose(std::strerror(ENOMEM));
    }
  }

  // Drops the file, and with it its temporary.
  void Lose(const std::string& reason) {
    file_.reset();
    reason_ = reason;
  }

  std::optional<OutputFileRows> file_;
  std::optional<DispConfPlane> plane_;
  RangeEndsTally tally_;
  std::string reason_;
};

std::string MiB(double bytes) {
  std::ostringstream text;
  text << static_cast<std::uint64_t>(std::ceil(bytes / (1024.0 * 1024.0))) << " MiB";
  return text.str();
}

class EntryRun {
 public:
  EntryRun(const StereoJob& job, int entry, int entries, const fs::path& folder,
           const fs::path& outputFolder, const RunSettings& settings, StereoMatcher& matcher,
           EntryImages& images, BatchHost& host, std::vector<std::string>& warnings)
      : job_(job),
        folder_(folder),
        outputFolder_(outputFolder),
        settings_(settings),
        matcher_(matcher),
        images_(images),
        host_(host),
        warnings_(warnings) {
    progress_.entry = entry;
    progress_.entries = entries;
    progress_.job = &job_;
  }

  // Loads, runs, writes and reports one entry (with a plan, loads and reports
  // it); false after a failure, which has been reported, its first line kept
  // as Failure().
  bool Run() {
    matcher_.Release();
    matcher_.Image0Name = job_.Image0Name;
    matcher_.Image1Name = job_.Image1Name;
    matcher_.OutputFileName = Resolve(outputFolder_, job_.OutputFileName);
    if (settings_.skipExisting && OutputsExist()) return true;
    if (settings_.plan) return Plan();
    if (!OutputFolderExists()) return true;

    Report(BatchStage::Loading, 1, 1);
    if (!LoadImages()) return false;
    if (!CheckMemory()) return false;
    host_.EntryLoaded(job_, *images_.image0);
    GiveWarnings();

    std::optional<EntryRows> rows;
    try {
      const JobProgress report = [this](JobStage stage, int step, int steps) {
        Report(Stage(stage), step, steps);
      };
      if (host_.KeepsVolumes()) {
        matcher_.Run(*images_.image0, *images_.image1, job_.Params, report);
      } else if (WritesRowByRow()) {
        RunRowByRow(rows, report);
      } else {
        RunMatcherJob(matcher_, *images_.image0, *images_.image1, job_.Params, EngineThreads(),
                      report);
      }
    } catch (const RunStopped&) {
      throw;
    } catch (const std::bad_alloc&) {
      return Fatal(VolumeMessage());
    } catch (const std::exception& error) {
      return Fatal(error.what());
    }

    Report(BatchStage::Writing, 1, 1);
    std::string reason;
    const bool written =
        rows ? rows->Commit(reason) : WriteOutputFile(matcher_, matcher_.OutputFileName, &reason);
    if (!written) host_.OutputNotWritten(matcher_.OutputFileName, reason);
    host_.EntryDone(job_, matcher_, "Disparity " + std::to_string(matcher_.IterationCount()));
    if (rows) {
      WarnOfRangeSign(RangeSignWarning(rows->tally()));
    } else if (matcher_.DispConf()) {
      WarnOfRangeSign(RangeSignWarning(*matcher_.DispConf(), Range()));
    }
    return true;
  }

  const std::string& Failure() const { return failure_; }

 private:
  static BatchStage Stage(JobStage stage) {
    switch (stage) {
      case JobStage::InitialMatchValues:
        return BatchStage::InitialMatchValues;
      case JobStage::Iteration:
        return BatchStage::Iteration;
      case JobStage::Extraction:
        break;
    }
    return BatchStage::Extraction;
  }

  void Report(BatchStage stage, int step, int steps) {
    progress_.stage = stage;
    progress_.step = step;
    progress_.steps = steps;
    host_.Progress(progress_);
  }

  bool Fatal(const std::string& message) {
    host_.FatalError(message);
    failure_ = FirstLine(message);
    return false;
  }

  // An output counts as there only when every file of the entry is: the
  // output is written first and the files beside it after.
  bool OutputsExist() const {
    const std::string& output = matcher_.OutputFileName;
    if (IsWrittenDirectly(output)) return false;
    std::error_code error;
    for (const std::string& file : FilesWritten(output, settings_.besideSuffixes)) {
      if (!fs::is_regular_file(file, error)) return false;
    }
    return true;
  }

  bool Plan() {
    if (!LoadImages()) return false;
    EntryPlan plan;
    plan.entry = progress_.entry;
    plan.job = &job_;
    plan.columns = images_.image0->columns();
    plan.rows = images_.image0->rows();
    plan.disparities = Disparities();
    plan.bytes = NeededBytes();
    const std::string& output = matcher_.OutputFileName;
    const std::string folder = IsWrittenDirectly(output) ? std::string() : FolderOfTarget(output);
    plan.writable = IsWrittenDirectly(output)
                        ? ::access(output.c_str(), W_OK) == 0
                        : ::access(folder.c_str(), W_OK | X_OK) == 0 && fs::is_directory(folder);
    host_.Planned(plan);
    images_.image0.reset();
    images_.image1.reset();
    if (plan.writable) return true;
    failure_ = "the output " + output + " cannot be written";
    return false;
  }

  RangeGeometry Range() const {
    RangeGeometry range;
    range.MinDisparity = job_.Params.MinDisparity;
    range.MaxDisparity = job_.Params.MaxDisparity;
    return range;
  }

  // Results unchanged; a range of the wrong sign is the likely mistake.
  void WarnOfRangeSign(const std::optional<std::string>& warning) {
    if (warning) {
      host_.Warning(*warning + "\nentry " + std::to_string(progress_.entry) + ": " +
                    job_.Image0Name + " " + job_.Image1Name + " -> " + job_.OutputFileName);
    }
  }

  // A job the volume engine would run (it takes less there than the
  // rings), or an output written in place (a device or FIFO, whose reader
  // must not see part of a job that then fails), gets its file from the
  // whole map after the job instead.
  // Throws for a job the engine refuses, whose sizes mean nothing.
  bool WritesRowByRow() const {
    const FloatArray& image0 = *images_.image0;
    ValidateJob(image0, *images_.image1, job_.Params);
    return !IsWrittenDirectly(matcher_.OutputFileName) &&
           JobRunsStreamed(image0, *images_.image1, job_.Params, EngineThreads());
  }

  // The job as one streamed pass whose rows go to the output file as they
  // come. The matcher is left as RunMatcherJob leaves it, with the maps only
  // for a host that needs them.
  void RunRowByRow(std::optional<EntryRows>& rows, const JobProgress& report) {
    const FloatArray& image0 = *images_.image0;
    try {
      matcher_.RunForResults(
          image0, job_.Params, host_.NeedsResultMaps(), [&](FloatArray* dispConf) {
            rows.emplace(matcher_.OutputFileName, image0.rows(), image0.columns(), dispConf,
                         Range());
            RunStreamed(image0, *images_.image1, job_.Params, EngineThreads(), *rows, report);
          });
    } catch (...) {
      rows.reset();
      throw;
    }
  }

  // Checked before any work, so that a job is not computed for nowhere.
  bool OutputFolderExists() {
    const std::string& output = matcher_.OutputFileName;
    if (IsWrittenDirectly(output)) return true;
    const std::string folder = FolderOfTarget(output);
    std::error_code error;
    if (fs::is_directory(folder, error)) return true;
    host_.OutputNotWritten(output, "the folder " + folder + " does not exist");
    return false;
  }

  bool LoadImages() {
    images_.image0.reset();
    images_.image1.reset();
    try {
      auto image0 = LoadImage(0, job_.Image0Name);
      if (!image0) return false;
      auto image1 = LoadImage(1, job_.Image1Name);
      if (!image1) return false;
      if (image1->columns() < image0->columns() || image1->rows() < image0->rows()) {
        return Fatal("Image 1 is smaller than image 0 - " + job_.Image1Name);
      }
      image1 = CropTo(std::move(image1), image0->columns(), image0->rows());
      images_.image0 = std::move(image0);
      images_.image1 = std::move(image1);
    } catch (const std::bad_alloc&) {
      return Fatal(CannotOpen(job_.Image1Name, "too large: not enough memory for its grid"));
    }
    return true;
  }

  // The host's refusal becomes the message's second line, under the one
  // scripts match.
  static std::string CannotOpen(const std::string& name, const std::string& reason) {
    return "Couldn't open image - " + name + "\n" + reason;
  }

  std::unique_ptr<FloatArray> LoadImage(int which, const std::string& name) {
    try {
      return host_.LoadImage(which, Resolve(folder_, name), job_.NumBands);
    } catch (const std::bad_alloc&) {
      Fatal(CannotOpen(name, "too large: not enough memory"));
    } catch (const std::exception& error) {
      Fatal(CannotOpen(name, error.what()));
    }
    return nullptr;
  }

  std::int64_t Disparities() const {
    return std::int64_t{job_.Params.MaxDisparity} - std::int64_t{job_.Params.MinDisparity};
  }

  std::string VolumeMessage() const {
    std::ostringstream message;
    message << "Not enough memory for a match volume of " << images_.image0->rows() << " x "
            << images_.image0->columns() << " x " << Disparities();
    return message.str();
  }

  double NeededBytes() const {
    const FloatArray& image0 = *images_.image0;
    const FloatArray& image1 = *images_.image1;
    return host_.KeepsVolumes()
               ? JobPeakBytes(MemoryShapeOf(image0, image1, job_.Params), EngineThreads())
               : JobPeakBytes(image0, image1, job_.Params, EngineThreads());
  }

  bool CheckMemory() {
    if (Disparities() > std::numeric_limits<int>::max()) return Fatal(VolumeMessage());
    const auto available = AvailableMemory();
    const double needed = NeededBytes();
    if (available && needed > static_cast<double>(*available)) {
      return Fatal(VolumeMessage() + "\nthe job needs about " + MiB(needed) + ", and " +
                   MiB(static_cast<double>(*available)) + " are available");
    }
    return true;
  }

  // The warnings of the first read, then the entry's own.
  void GiveWarnings() {
    const std::string entry = "entry " + std::to_string(progress_.entry) + ": ";
    if (job_.Params.NumIterations < 0) {
      warnings_.push_back(entry + "NumIterations " + std::to_string(job_.Params.NumIterations) +
                          " is below 0 and taken as 0");
    }
    if (std::isinf(job_.Params.MaxScaler)) {
      warnings_.push_back(entry + "MaxScaler is too large for a float and taken as infinite");
    } else if (!(job_.Params.MaxScaler > 0.0f)) {
      std::ostringstream value;
      value << job_.Params.MaxScaler;
      warnings_.push_back(entry + "MaxScaler " + value.str() + " is not positive");
    }
    if (job_.NumBands == 3) {
      const bool grey0 = IsGrey(*images_.image0);
      const bool grey1 = IsGrey(*images_.image1);
      if (grey0 != grey1) {
        warnings_.push_back(entry + "image 0 (" + job_.Image0Name + ") is " +
                            (grey0 ? "grey" : "in colour") + " but image 1 (" + job_.Image1Name +
                            ") is " + (grey1 ? "grey" : "in colour"));
      }
    }
    for (const std::string& warning : warnings_) host_.Warning(warning);
    warnings_.clear();
  }

  const StereoJob& job_;
  const fs::path& folder_;
  const fs::path& outputFolder_;
  const RunSettings& settings_;
  StereoMatcher& matcher_;
  EntryImages& images_;
  BatchHost& host_;
  std::vector<std::string>& warnings_;
  BatchProgress progress_;
  std::string failure_;
};

}  // namespace

bool ProcessDirectionsFile(const std::string& path, StereoMatcher& matcher, EntryImages& images,
                           BatchHost& host, const std::vector<std::string>& besideSuffixes) {
  RunSettings settings;
  settings.besideSuffixes = besideSuffixes;
  RunTally tally;
  return ProcessDirectionsFile(path, matcher, images, host, settings, tally);
}

bool ProcessDirectionsFile(const std::string& path, StereoMatcher& matcher, EntryImages& images,
                           BatchHost& host, const RunSettings& settings, RunTally& tally) {
  std::error_code error;
  std::ifstream file;
  const bool folderGiven = path != "-" && fs::is_directory(path, error);
  errno = 0;
  if (path != "-" && !folderGiven) file.open(path, std::ios::binary);
  if (path != "-" && !file.is_open()) {
    const std::string reason =
        folderGiven ? "it is a folder" : (errno != 0 ? std::strerror(errno) : "it cannot be read");
    host.FatalError("Couldn't open " + path + "\n" + reason);
    return false;
  }
  std::istream& in = path == "-" ? std::cin : file;
  const bool passFailures = settings.keepGoing || settings.plan;
  const DirectionsContents contents = ReadEntries(in, path, tally.entriesRead, passFailures);
  file.close();
  const fs::path folder = FolderOf(path);
  const fs::path outputFolder =
      settings.outputDir.empty() ? folder : fs::absolute(fs::path(settings.outputDir), error);
  if (const auto clash =
          OverwrittenInput(contents, folder, outputFolder, path, settings.besideSuffixes)) {
    host.FatalError(*clash);
    return false;
  }
  std::vector<std::string> warnings =
      SharedOutputs(contents, outputFolder, tally.entriesRead, settings.besideSuffixes);
  if (contents.byteOrderMark) {
    warnings.push_back(path + " begins with a byte-order mark, which was skipped");
  }
  const int first = tally.entriesRead + 1;
  const int entries =
      tally.entriesRead + static_cast<int>(contents.jobs.size()) + (contents.failure ? 1 : 0);
  tally.entriesRead += static_cast<int>(contents.jobs.size());
  for (std::size_t k = 0; k < contents.jobs.size(); ++k) {
    const int entry = first + static_cast<int>(k);
    if (!settings.selection.Selects(entry)) continue;
    std::string failure;
    if (const auto& refusal = contents.refusals[k]) {
      host.FatalError(*refusal);
      failure = FirstLine(*refusal);
    } else {
      EntryRun run(contents.jobs[k], entry, entries, folder, outputFolder, settings, matcher,
                   images, host, warnings);
      if (run.Run()) continue;
      failure = run.Failure();
    }
    if (!passFailures) return false;
    tally.failed.push_back("entry " + std::to_string(entry) + ": " + failure);
  }
  if (contents.failure) {
    host.FatalError(*contents.failure);
    return false;
  }
  for (const std::string& warning : warnings) host.Warning(warning);
  return true;
}

}  // namespace tavrel
