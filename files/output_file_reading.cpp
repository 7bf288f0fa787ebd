#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <new>
#include <vector>

#include "files/output_file.h"

namespace tavrel {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

class NumberScanner {
 public:
  NumberScanner(const char* first, const char* last) : next_(first), last_(last) {}

  template <typename Number>
  bool Read(Number& value) {
    SkipSpace();
    const char* start = next_;
    if (next_ != last_ && *next_ == '+') ++start;  // from_chars takes no plus sign
    const auto result = std::from_chars(start, last_, value);
    if (result.ec != std::errc() || (result.ptr != last_ && !IsSpace(*result.ptr))) return false;
    next_ = result.ptr;
    return true;
  }

  bool AtEnd() {
    SkipSpace();
    return next_ == last_;
  }

  std::size_t Left() const { return static_cast<std::size_t>(last_ - next_); }

 private:
  void SkipSpace() {
    while (next_ != last_ && IsSpace(*next_)) ++next_;
  }

  const char* next_;
  const char* last_;
};

std::vector<char> ReadWhole(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw OutputFileError("cannot open " + fileName);
  std::vector<char> text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw OutputFileError("cannot read " + fileName);
  return text;
}

}  // namespace

std::unique_ptr<FloatArray> ReadOutputFile(const std::string& fileName) {
  std::vector<char> text;
  try {
    text = ReadWhole(fileName);
  } catch (const std::bad_alloc&) {
    throw OutputFileError(fileName + " is too large to read");
  } catch (const std::ios_base::failure&) {
    throw OutputFileError("cannot read " + fileName);
  }
  NumberScanner scanner(text.data(), text.data() + text.size());
  int columns = 0;
  int rows = 0;
  if (!scanner.Read(columns) || !scanner.Read(rows) || columns < 0 || rows < 0) {
    throw OutputFileError(fileName + ": the first line must be \"columns rows\"");
  }
  // Every pixel takes at least four characters ("0 0\n"), so a header that
  // promises more pixels than the file can hold is refused before allocating.
  const std::uint64_t pixels =
      static_cast<std::uint64_t>(columns) * static_cast<std::uint64_t>(rows);
  if (pixels > scanner.Left() / 4 + 1) {
    throw OutputFileError(fileName + " is too short for " + std::to_string(columns) + " x " +
                          std::to_string(rows) + " pixels");
  }
  auto grid = std::make_unique<FloatArray>(columns, rows, 2);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      if (!scanner.Read(grid->At(r, c, 0)) || !scanner.Read(grid->At(r, c, 1))) {
        throw OutputFileError(fileName + ": pixel (" + std::to_string(r) + ", " +
                              std::to_string(c) + ") is missing or not a number");
      }
    }
  }
  if (!scanner.AtEnd()) {
    throw OutputFileError(fileName + ": more than " + std::to_string(columns) + " x " +
                          std::to_string(rows) + " pixels");
  }
  return grid;
}

}  // namespace tavrel
