#include "files/output_file.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <new>
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

bool Flush(std::FILE* file, std::vector<char>& out) {
  const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  out.clear();
  return written;
}

bool IsRegularFile(std::FILE* file) {
  struct stat info {};
  return fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
}

bool WriteContents(std::FILE* file, const FloatArray& dispConf) {
  std::vector<char> out;
  out.reserve(kFlushThreshold + kMaxLine);
  AppendInt(out, dispConf.columns());
  out.push_back(' ');
  AppendInt(out, dispConf.rows());
  out.push_back('\n');
  for (int r = 0; r < dispConf.rows(); ++r) {
    for (int c = 0; c < dispConf.columns(); ++c) {
      AppendFixed(out, dispConf.Get(r, c, 0));
      out.push_back(' ');
      AppendFixed(out, dispConf.Get(r, c, 1));
      out.push_back('\n');
      if (out.size() >= kFlushThreshold && !Flush(file, out)) return false;
    }
  }
  return Flush(file, out);
}

}  // namespace

bool WriteOutputFile(const StereoMatcher& matcher, const std::string& fileName) {
  if (!matcher.DispConf) return false;
  std::FILE* file = std::fopen(fileName.c_str(), "wb");
  if (!file) return false;
  const bool regular = IsRegularFile(file);
  bool complete = false;
  try {
    complete = WriteContents(file, *matcher.DispConf);
  } catch (const std::bad_alloc&) {
    complete = false;
  }
  complete = std::ferror(file) == 0 && complete;
  complete = std::fclose(file) == 0 && complete;
  // Only a file this call created or emptied is removed, never a device or
  // pipe that merely refused the data.
  if (!complete && regular) std::remove(fileName.c_str());
  return complete;
}

}  // namespace tavrel
