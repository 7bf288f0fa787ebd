#include "files/output_file.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <vector>

#include "files/atomic_file.h"

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

void WriteContents(AtomicFile& file, const FloatArray& dispConf) {
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
      if (out.size() >= kFlushThreshold) {
        file.Write(out.data(), out.size());
        out.clear();
      }
    }
  }
  file.Write(out.data(), out.size());
}

}  // namespace

bool WriteOutputFile(const StereoMatcher& matcher, const std::string& fileName,
                     std::string* reason) {
  if (!matcher.DispConf) {
    if (reason) *reason = "there is no result to write";
    return false;
  }
  try {
    AtomicFile file(fileName);
    WriteContents(file, *matcher.DispConf);
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
