#pragma once

#include <cstddef>
#include <deque>
#include <istream>
#include <stdexcept>
#include <string>

#include "files/batch_run.h"

namespace tavrel {

// A directions file that cannot be used; what() is the complete message as the
// user sees it ("in.dat :: Can't Read MinDisparity").
class DirectionsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the entries of a directions file one at a time. Items are separated by
// any white space, which may be left out where two items cannot run together
// (a keyword glued to its value, "OutputFile"); keywords are case-sensitive and
// stand in a fixed order; an integer stops before the first character that
// cannot continue it, so 3.5 reads as 3. Names and numbers are read up to
// kMaxFieldLength characters; a longer one, or a name holding a NUL byte, is
// refused with the field's message and a second line that says why.
class DirectionsReader {
 public:
  static constexpr std::size_t kMaxFieldLength = 4096;

  explicit DirectionsReader(std::istream& in) : in_(in) {}

  // Reads the next entry into `job`. Returns false when only white space is
  // left; throws DirectionsError for an entry that cannot be read, or whose
  // radius is at or above its limit (each checked as soon as it is read).
  bool Next(StereoJob& job);

 private:
  [[noreturn]] void FailField(const std::string& what);
  int Peek(std::size_t ahead = 0);
  int Get();
  void SkipWhiteSpace();
  bool ReadToken(std::string& token);
  bool ReadKeyword(const char* keyword);
  bool ReadInteger(int& value);
  bool ReadDecimal(float& value);

  std::istream& in_;
  std::deque<char> pending_;  // characters looked at but not yet consumed
  std::string why_;           // why the last field could not be read, if known
};

// Refuses, with a message in the manner of the reader's, values that the reader
// accepts but that no job can use: a band count other than 1 or 3, MaxDisparity
// not above MinDisparity, a negative radius.
void CheckJobValues(const StereoJob& job);

}  // namespace tavrel
