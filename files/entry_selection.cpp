#include "files/entry_selection.h"

#include <charconv>
#include <string_view>

namespace tavrel {
namespace {

// Numbers above this are refused rather than wrapped: no directions file holds
// that many entries, and the arithmetic stays far from overflow.
constexpr long long kLargestNumber = 1'000'000'000;

// A whole decimal number made of digits only, all of `text`; false otherwise.
bool ReadNumber(std::string_view text, long long& value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value <= kLargestNumber;
}

[[noreturn]] void RefuseList(const std::string& list, const std::string& why) {
  throw EntrySelectionError("--entries " + why + "; found \"" + list + "\"");
}

}  // namespace

EntrySelection EntrySelection::Parse(const std::string& list, const std::string& shard) {
  EntrySelection selection;
  if (!list.empty()) {
    const std::string usage = "wants entry numbers from 1 and ranges, such as 3,5-9";
    std::string_view rest = list;
    while (true) {
      const std::size_t comma = rest.find(',');
      const std::string_view item = rest.substr(0, comma);
      const std::size_t dash = item.find('-');
      Range range{};
      if (!ReadNumber(item.substr(0, dash), range.first)) RefuseList(list, usage);
      range.last = range.first;
      if (dash != std::string_view::npos && !ReadNumber(item.substr(dash + 1), range.last)) {
        RefuseList(list, usage);
      }
      if (range.first == 0 || range.last == 0) {
        RefuseList(list, "counts entries from 1, so 0 is none of them");
      }
      if (range.last < range.first) {
        RefuseList(list, "range " + std::string(item) + " runs backwards");
      }
      selection.ranges_.push_back(range);
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  if (!shard.empty()) {
    const std::size_t slash = shard.find('/');
    long long index = 0;
    long long count = 0;
    if (slash == std::string::npos ||
        !ReadNumber(std::string_view(shard).substr(0, slash), index) ||
        !ReadNumber(std::string_view(shard).substr(slash + 1), count) || count == 0 ||
        index >= count) {
      throw EntrySelectionError("--shard wants K/N with 0 <= K < N, such as 0/4; found \"" + shard +
                                "\"");
    }
    selection.shardIndex_ = index;
    selection.shardCount_ = count;
  }
  return selection;
}

bool EntrySelection::Selects(int entry) const {
  if (entry < 1) return false;
  if ((entry - 1LL) % shardCount_ != shardIndex_) return false;
  if (ranges_.empty()) return true;
  for (const Range& range : ranges_) {
    if (range.first <= entry && entry <= range.last) return true;
  }
  return false;
}

}  // namespace tavrel
