#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tavrel {

// A --entries list or --shard value that cannot be followed; what() says why
// and shows what was given.
class EntrySelectionError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Which entries a run computes. Entries are numbered from 1 across all the
// directions files of a run, in the order given; an entry is selected when the
// list (if any) holds its number and its 0-based index lies in the shard.
class EntrySelection {
 public:
  // Every entry.
  EntrySelection() = default;

  // `list` as after --entries ("3,5-9": numbers and ranges from 1, separated by
  // commas), empty for no list; `shard` as after --shard ("K/N", 0 <= K < N),
  // empty for one shard. Throws EntrySelectionError for anything else.
  static EntrySelection Parse(const std::string& list, const std::string& shard);

  bool Selects(int entry) const;

 private:
  struct Range {
    long long first;
    long long last;
  };
  std::vector<Range> ranges_;  // empty: no list given
  long long shardIndex_ = 0;
  long long shardCount_ = 1;
};

}  // namespace tavrel
