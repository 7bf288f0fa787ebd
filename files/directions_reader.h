#pragma once

#include <cstddef>
#include <deque>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "files/stereo_job.h"

namespace tavrel {

// Where a directions file was found wanting: the file as the caller named it,
// the entry (numbered across all files of a run), the line, and the item found
// there as written (empty at the end of the file). `misread` is set when a
// number stopped early and what was left of it spoiled the next field
// ("WinRadRC was read as 2 and left .5").
struct DirectionsLocation {
  std::string file;
  int entry = 0;
  int line = 0;
  std::string found;
  std::string misread;
};

// The line that says where: `scene.cpd, entry 2, line 9: found "MaxDisparty"`.
std::string DescribeLocation(const DirectionsLocation& location);

// A directions file that cannot be used. what() is the first line of the
// message as the user sees it, the same whatever the place ("in.dat :: Can't
// Read MinDisparity"), since scripts match it; Detail() is the line that may
// follow it, naming the place, or empty when the place is not known.
class DirectionsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  DirectionsError(const std::string& message, DirectionsLocation location)
      : std::runtime_error(message), location_(std::move(location)) {}

  const std::optional<DirectionsLocation>& location() const { return location_; }
  std::string Detail() const { return location_ ? DescribeLocation(*location_) : std::string(); }

 private:
  std::optional<DirectionsLocation> location_;
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

  // `fileName` and the number of entries read from earlier files of the same
  // run only serve the locations that errors carry.
  explicit DirectionsReader(std::istream& in, std::string fileName = {}, int entriesBefore = 0)
      : in_(in),
        fileName_(std::move(fileName)),
        entry_(entriesBefore),
        entriesBefore_(entriesBefore) {}

  // Reads the next entry into `job`. Returns false when only white space is
  // left; throws DirectionsError for an entry that cannot be read, or whose
  // radius is at or above its limit (each checked as soon as it is read).
  bool Next(StereoJob& job);

  // CheckJobValues for the entry last read, its error located at the field
  // that failed.
  void CheckValues(const StereoJob& job) const;

  // Whether the file began with a UTF-8 byte-order mark, which was skipped.
  bool ByteOrderMarkSkipped() const { return byteOrderMarkSkipped_; }

 private:
  struct Item {
    int line = 0;
    std::string text;
  };

  [[noreturn]] void Fail(const std::string& what);
  DirectionsLocation LocationOf(const Item& item) const;
  void BeginItem(bool keyword);
  std::string ItemText();
  void Keep(const char* field);
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

  // Only for the locations of errors.
  std::string fileName_;
  int entry_ = 0;
  int entriesBefore_ = 0;
  bool byteOrderMarkSkipped_ = false;
  int line_ = 1;  // of the next character
  Item item_;     // the item being read, as consumed so far
  bool itemIsKeyword_ = false;
  bool numberEndedGlued_ = false;                     // the number last read ran into the next item
  bool gluedToNumber_ = false;                        // the item being read follows such a number
  std::vector<std::pair<std::string, Item>> fields_;  // those of the entry, in order
};

// Refuses, with a message in the manner of the reader's, values that the reader
// accepts but that no job can use: a band count other than 1 or 3, MaxDisparity
// not above MinDisparity, a negative radius.
void CheckJobValues(const StereoJob& job);

}  // namespace tavrel
