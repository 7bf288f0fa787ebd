#pragma once

#include <memory>
#include <string>

#include "engine/float_array.h"
#include "engine/stereo_matcher.h"
#include "files/stereo_job.h"

namespace tavrel {

enum class BatchStage { Loading, InitialMatchValues, Iteration, Extraction, Writing };

struct BatchProgress {
  int entry = 0;    // 1-based number of the entry being run
  int entries = 0;  // entries the file holds, as far as a first read could tell
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

  // The one report of a failure that stops the run; the message is complete
  // and is shown as it stands.
  virtual void FatalError(const std::string& message) = 0;
};

// Reads the directions file at `path` entry by entry; each entry is loaded,
// run, written and reported before the next one is read. Relative image and
// output names are taken relative to the folder of the directions file.
// Returns true when the end of the file was reached after all entries ran;
// false after a failure, which has been reported through host.FatalError.
bool ProcessDirectionsFile(const std::string& path, StereoMatcher& matcher, EntryImages& images,
                           BatchHost& host);

}  // namespace tavrel
