#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/float_array.h"
#include "engine/stereo_matcher.h"
#include "files/entry_selection.h"
#include "files/stereo_job.h"

namespace tavrel {

enum class BatchStage { Loading, InitialMatchValues, Iteration, Extraction, Writing };

struct BatchProgress {
  int entry = 0;    // 1-based number of the entry being run
  int entries = 0;  // entries of this and earlier files of the run, as far as read
  const StereoJob* job = nullptr;
  BatchStage stage = BatchStage::Loading;
  int step = 0;  // within the stage, 1-based (iteration i of steps)
  int steps = 0;
};

// The grids of the entry last loaded; the caller owns them, so that after the
// run the window can still show the last entry's images.
struct EntryImages {
  std::unique_ptr<FloatArray> image0;
  std::unique_ptr<FloatArray> image1;
};

// What --plan tells of one entry, without computing it: the size of image 0,
// the disparities, the bytes the job will hold at its peak (the estimate the
// memory check compares with what is available) and whether the output's
// folder can be written.
struct EntryPlan {
  int entry = 0;
  const StereoJob* job = nullptr;
  int columns = 0;
  int rows = 0;
  long long disparities = 0;
  double bytes = 0.0;
  bool writable = false;
};

// What the batch run needs from whoever drives it: the window, the headless
// program and the tests each implement it.
class BatchHost {
 public:
  virtual ~BatchHost() = default;

  // Loads one image as a grid of `bands` bands (row 0 the top row; band 0 blue,
  // 1 green, 2 red; with one band the blue byte alone). `which` is 0 or 1.
  // Throws when the image cannot be loaded, with the reason in one line as
  // what(); the batch run then reports "Couldn't open image - <name>" with the
  // reason on a second line.
  virtual std::unique_ptr<FloatArray> LoadImage(int which, const std::string& path, int bands) = 0;

  // The entry's images are loaded: show image 0 captioned with its name.
  virtual void EntryLoaded(const StereoJob& /*job*/, const FloatArray& /*image0*/) {}

  virtual void Progress(const BatchProgress& /*progress*/) {}

  // The entry is computed and written: show DisplayMap with `caption`
  // ("Disparity %d").
  virtual void EntryDone(const StereoJob& /*job*/, const StereoMatcher& /*matcher*/,
                         const std::string& /*caption*/) {}

  // The output file could not be created or fully written; the run goes on.
  virtual void OutputNotWritten(const std::string& /*path*/) {}
  // The same with the reason (the system's, or a missing folder); by default
  // the reason is dropped.
  virtual void OutputNotWritten(const std::string& path, const std::string& /*reason*/) {
    OutputNotWritten(path);
  }

  // Something in the directions file or the images that is likely a mistake
  // but does not stop the run; the results are as without it. Given only once
  // the entry it concerns has passed every check, so that it never comes
  // before a message that ends the run.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
  virtual void Warning(const std::string& message) {}
#pragma GCC diagnostic pop

  // A planned entry (RunSettings::plan): nothing was computed.
  virtual void Planned(const EntryPlan& /*plan*/) {}

  // The one report of a failure that stops the run; the message is complete
  // and is shown as it stands.
  virtual void FatalError(const std::string& message) = 0;

  // Whether the matcher must hold the match volumes after each job (the
  // window shows their slices). A host that needs only the results lets
  // each job run as one streamed pass over the rows, in far less memory.
  virtual bool KeepsVolumes() const { return true; }

  // Whether the matcher must hold the whole disparity and confidence maps
  // after each job (for pictures or PFM files made from them in EntryDone).
  // A host that keeps no volumes and needs no maps gets every output file
  // written row by row as its job runs, and the maps are never gathered.
  virtual bool NeedsResultMaps() const { return true; }
};

// A host throws it from Progress to stop the run between stages; it passes
// through ProcessDirectionsFile, every file written so far in place and no
// temporary left.
class RunStopped : public std::runtime_error {
 public:
  RunStopped() : std::runtime_error("stopped") {}
};

// How a run over one or more directions files goes beyond the file itself.
struct RunSettings {
  std::vector<std::string> besideSuffixes;  // see ProcessDirectionsFile
  EntrySelection selection;                 // by numbers across all files of the run
  // An entry whose images cannot be used or whose job is refused is reported
  // through FatalError and the run goes on; a directions file that cannot be
  // read still stops it, since what follows cannot be trusted.
  bool keepGoing = false;
  bool skipExisting = false;  // an existing output is whole: files are replaced atomically
  bool plan = false;          // load the images and report Planned, compute nothing
  std::string outputDir;      // relative output names go there, else beside the file
};

// Where a run over several files stands; each file adds to it.
struct RunTally {
  int entriesRead = 0;  // entries of earlier files, which the next file's numbers follow
  // The entries that failed for their inputs under keepGoing (or, with plan,
  // could never run), each as "entry N: " and the first line of its message.
  std::vector<std::string> failed;
};

// Runs the directions file at `path`. A first read takes in every entry and
// checks the output names: an output, or a file the host writes beside it (the
// output's name with its extension replaced by one of `besideSuffixes`), that
// would land on an image of the file or on the directions file itself stops
// the run before anything runs; a name written by two entries is warned of,
// the later file standing. Then each entry in turn is loaded, run, written and
// reported, so that a failure at entry k leaves entries 1 to k - 1 written;
// an entry whose output folder does not exist is skipped with
// OutputNotWritten. Relative image and output names are taken relative to
// the folder of the directions file.
// Returns true when all entries were run (or skipped); false after a failure,
// which has been reported through host.FatalError.
bool ProcessDirectionsFile(const std::string& path, StereoMatcher& matcher, EntryImages& images,
                           BatchHost& host, const std::vector<std::string>& besideSuffixes = {});

// The same as one file of a run over several: entries are numbered after
// tally.entriesRead, only those `settings.selection` selects are run, and
// tally is brought up to date. False after a failure that stops the run.
bool ProcessDirectionsFile(const std::string& path, StereoMatcher& matcher, EntryImages& images,
                           BatchHost& host, const RunSettings& settings, RunTally& tally);

}  // namespace tavrel
