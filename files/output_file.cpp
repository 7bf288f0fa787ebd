#include "files/output_file.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrel {
namespace {

constexpr std::size_t kFlushThreshold = 1 << 16;
// Longest line: two "%f" values of a float (at most 39 integer digits, a sign,
// a point and six decimals each), a blank and the line feed, with room to spare.
constexpr std::size_t kMaxLine = 128;

// Appends value as "%f" would print it in the C locale; std::to_chars is
// defined to produce exactly that and, unlike printf, never uses a comma
// from the process locale.
void AppendFixed(std::vector<char>& out, double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  out.insert(out.end(), text, result.ptr);
}

void AppendInt(std::vector<char>& out, int value) {
  char text[16];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.insert(out.end(), text, result.ptr);
}

}  // namespace

OutputFileRows::OutputFileRows(const std::string& fileName, int columns, int rows)
    : file_(fileName), columns_(columns), rows_(rows) {
  text_.reserve(kFlushThreshold + kMaxLine);
  AppendInt(text_, columns);
  text_.push_back(' ');
  AppendInt(text_, rows);
  text_.push_back('\n');
}

void OutputFileRows::Row(int row, const float* dispConf) {
  if (row != next_ || row >= rows_) {
    throw std::logic_error("OutputFileRows: row " + std::to_string(row) + " given after row " +
                           std::to_string(next_ - 1) + " of " + std::to_string(rows_));
  }
  ++next_;
  for (int c = 0; c < columns_; ++c) {
    AppendFixed(text_, dispConf[2 * static_cast<std::size_t>(c)]);
    text_.push_back(' ');
    AppendFixed(text_, dispConf[2 * static_cast<std::size_t>(c) + 1]);
    text_.push_back('\n');
    if (text_.size() >= kFlushThreshold) {
      file_.Write(text_.data(), text_.size());
      text_.clear();
    }
  }
}

void OutputFileRows::Commit() {
  if (next_ != rows_) {
    throw std::logic_error("OutputFileRows: committed after " + std::to_string(next_) + " of " +
                           std::to_string(rows_) + " rows");
  }
  file_.Write(text_.data(), text_.size());
  text_.clear();
  file_.Commit();
}

bool WriteOutputFile(const StereoMatcher& matcher, const std::string& fileName,
                     std::string* reason) {
  if (!matcher.DispConf()) {
    if (reason) *reason = "there is no result to write";
    return false;
  }
  return WriteOutputFile(*matcher.DispConf(), fileName, reason);
}

bool WriteOutputFile(const FloatArray& dispConf, const std::string& fileName, std::string* reason) {
  try {
    OutputFileRows file(fileName, dispConf.columns(), dispConf.rows());
    const std::size_t rowSize = static_cast<std::size_t>(dispConf.columns()) * 2;
    for (int r = 0; r < dispConf.rows(); ++r) file.Row(r, dispConf.data() + r * rowSize);
    file.Commit();
    return true;
  } catch (const FileWriteError& error) {
    if (reason) *reason = error.what();
  } catch (const std::bad_alloc&) {
    if (reason) *reason = std::strerror(ENOMEM);
  }
  return false;
}

}  // namespace tavrel
