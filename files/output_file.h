#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "engine/stereo_matcher.h"

namespace tavrel {

// Writes the matcher's DispConf to `fileName` as text: a line "<columns> <rows>",
// then one line "<disparity> <confidence>" per pixel, rows top to bottom and
// columns left to right within a row, each value as C's "%f" formats it (six
// digits after a '.', whatever the process locale) and every line ended by a
// line feed. The file is written through AtomicFile: an existing file is
// replaced only by the whole new one.
//
// Returns true when the whole file was written. Returns false, without
// throwing, when there is no DispConf or the file cannot be written, with the
// reason in `reason` when given; an earlier file then stays as it was.
bool WriteOutputFile(const StereoMatcher& matcher, const std::string& fileName,
                     std::string* reason = nullptr);

// An output file that cannot be read back; what() says why.
class OutputFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a file in the form WriteOutputFile writes into a grid of two bands,
// disparity and confidence, row 0 at the top; each value is the float nearest
// to the decimal written. Any white space may separate the numbers. Throws
// OutputFileError when the file cannot be opened, a number is missing or
// malformed, or anything but white space follows the last pixel.
std::unique_ptr<FloatArray> ReadOutputFile(const std::string& fileName);

}  // namespace tavrel
