#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/stereo_matcher.h"
#include "engine/streamed_engine.h"
#include "files/atomic_file.h"

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

// The same file from maps held apart from a matcher (disparity and
// confidence, Columns x Rows x 2).
bool WriteOutputFile(const FloatArray& dispConf, const std::string& fileName,
                     std::string* reason = nullptr);

// The same file written row by row, as a streamed job hands its rows over,
// so that the whole map need not be kept: the header line at once, each
// row's lines as the row comes. The bytes go to AtomicFile's temporary and
// nothing is in place before Commit; an object destroyed before (a job that
// failed or was stopped) removes the temporary, and an earlier file stays as
// it was. The constructor, Row and Commit throw FileWriteError or
// std::bad_alloc when the file cannot be written; rows out of order, or a
// Commit before the last row, are a fault of the caller (std::logic_error).
class OutputFileRows : public DispConfSink {
 public:
  OutputFileRows(const std::string& fileName, int columns, int rows);

  void Row(int row, const float* dispConf) override;
  void Commit();

 private:
  AtomicFile file_;
  std::vector<char> text_;
  int columns_;
  int rows_;
  int next_ = 0;
};

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
