#include "files/batch_run.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <optional>
#include <sstream>

#include "files/directions_reader.h"
#include "files/output_file.h"

namespace tavrel {
namespace {

namespace fs = std::filesystem;

// Bytes the kernel could give us without swapping, from /proc/meminfo; none
// when that cannot be read. Linux overcommits, so a job too large for memory
// would otherwise only fail when its pages are first touched.
std::optional<std::uint64_t> AvailableMemory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kilobytes = 0;
  std::string unit;
  while (meminfo >> key >> kilobytes >> unit) {
    if (key == "MemAvailable:") return kilobytes * 1024;
  }
  return std::nullopt;
}

// What a job holds at its peak: L0 and Ln, plus per pixel the result maps,
// the iteration's sums plane and the scratch grids of the initial match values.
// In double, which cannot overflow for any image and disparity range.
double BytesNeeded(double rows, double columns, double disparities) {
  constexpr double kFloatsPerPixelBesideVolumes = 24;
  return rows * columns * (2 * disparities + kFloatsPerPixelBesideVolumes) * sizeof(float);
}

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

// How many entries a first read of the file finds, stopping at the first one
// that cannot be read; only for progress reports. A pipe cannot be read twice,
// so there the count is left open (0).
int CountEntries(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return 0;
  std::ifstream in(path);
  DirectionsReader reader(in);
  StereoJob job;
  int count = 0;
  try {
    while (reader.Next(job)) ++count;
  } catch (const DirectionsError&) {
    ++count;  // the entry that fails is still reached
  }
  return count;
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

class EntryRun {
 public:
  EntryRun(const StereoJob& job, int entry, int entries, const fs::path& folder,
           StereoMatcher& matcher, EntryImages& images, BatchHost& host)
      : job_(job), folder_(folder), matcher_(matcher), images_(images), host_(host) {
    progress_.entry = entry;
    progress_.entries = entries;
    progress_.job = &job_;
  }

  // Loads, runs, writes and reports one entry; false after a fatal error,
  // which has been reported.
  bool Run() {
    matcher_.Release();
    matcher_.Image0Name = job_.Image0Name;
    matcher_.Image1Name = job_.Image1Name;
    matcher_.OutputFileName = Resolve(folder_, job_.OutputFileName);

    Report(BatchStage::Loading, 1, 1);
    if (!LoadImages()) return false;
    if (!CheckMemory()) return false;
    host_.EntryLoaded(job_, *images_.image0);

    try {
      matcher_.Run(
          *images_.image0, *images_.image1, job_.Params,
          [this](JobStage stage, int step, int steps) { Report(Stage(stage), step, steps); });
    } catch (const std::bad_alloc&) {
      return Fatal(VolumeMessage());
    } catch (const std::exception& error) {
      return Fatal(error.what());
    }

    Report(BatchStage::Writing, 1, 1);
    if (!WriteOutputFile(matcher_, matcher_.OutputFileName)) {
      host_.OutputNotWritten(matcher_.OutputFileName);
    }
    host_.EntryDone(job_, matcher_, "Disparity " + std::to_string(matcher_.IterationCount));
    return true;
  }

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
    return false;
  }

  bool LoadImages() {
    images_.image0.reset();
    images_.image1.reset();
    auto image0 = LoadImage(0, job_.Image0Name);
    if (!image0) return false;
    auto image1 = LoadImage(1, job_.Image1Name);
    if (!image1) return false;
    if (image1->columns() < image0->columns() || image1->rows() < image0->rows()) {
      return Fatal("Image 1 is smaller than image 0 - " + job_.Image1Name);
    }
    try {
      image1 = CropTo(std::move(image1), image0->columns(), image0->rows());
    } catch (const std::bad_alloc&) {
      return Fatal(CannotOpen(job_.Image1Name, "too large: not enough memory for its grid"));
    }
    images_.image0 = std::move(image0);
    images_.image1 = std::move(image1);
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

  bool CheckMemory() {
    if (Disparities() > std::numeric_limits<int>::max()) return Fatal(VolumeMessage());
    const auto available = AvailableMemory();
    if (available &&
        BytesNeeded(images_.image0->rows(), images_.image0->columns(),
                    static_cast<double>(Disparities())) > static_cast<double>(*available)) {
      return Fatal(VolumeMessage());
    }
    return true;
  }

  const StereoJob& job_;
  const fs::path& folder_;
  StereoMatcher& matcher_;
  EntryImages& images_;
  BatchHost& host_;
  BatchProgress progress_;
};

}  // namespace

bool ProcessDirectionsFile(const std::string& path, StereoMatcher& matcher, EntryImages& images,
                           BatchHost& host) {
  std::error_code error;
  std::ifstream in;
  if (!fs::is_directory(path, error)) in.open(path);
  if (!in.is_open()) {
    host.FatalError("Couldn't open " + path);
    return false;
  }
  const int entries = CountEntries(path);
  const fs::path folder = FolderOf(path);
  DirectionsReader reader(in);
  StereoJob job;
  for (int entry = 1;; ++entry) {
    try {
      if (!reader.Next(job)) return true;
      CheckJobValues(job);
    } catch (const DirectionsError& failure) {
      host.FatalError(failure.what());
      return false;
    }
    EntryRun run(job, entry, std::max(entries, entry), folder, matcher, images, host);
    if (!run.Run()) return false;
  }
}

}  // namespace tavrel
