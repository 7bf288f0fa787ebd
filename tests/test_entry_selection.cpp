#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/entry_selection.h"

namespace tavrel {
namespace {

std::vector<int> SelectedUpTo(const EntrySelection& selection, int last) {
  std::vector<int> selected;
  for (int entry = 1; entry <= last; ++entry) {
    if (selection.Selects(entry)) selected.push_back(entry);
  }
  return selected;
}

TEST(EntrySelection, ListsPickTheirNumbersAndRanges) {
  EXPECT_EQ(SelectedUpTo(EntrySelection(), 4), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(SelectedUpTo(EntrySelection::Parse("3,5-9", ""), 20),
            (std::vector<int>{3, 5, 6, 7, 8, 9}));
  EXPECT_EQ(SelectedUpTo(EntrySelection::Parse("4,2-4,4-4,1", ""), 10),
            (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(SelectedUpTo(EntrySelection::Parse("12", ""), 10), std::vector<int>{});
  EXPECT_FALSE(EntrySelection().Selects(0));
}

// The shards of one count share the entries out: each entry falls in exactly
// one, the one of its 0-based index modulo the count.
TEST(EntrySelection, ShardsPartitionTheEntries) {
  for (int count : {1, 2, 3, 7}) {
    std::vector<int> owners(50, 0);
    for (int index = 0; index < count; ++index) {
      const auto shard =
          EntrySelection::Parse("", std::to_string(index) + "/" + std::to_string(count));
      for (int entry : SelectedUpTo(shard, 50)) {
        EXPECT_EQ((entry - 1) % count, index);
        ++owners[entry - 1];
      }
    }
    for (int owned : owners) EXPECT_EQ(owned, 1) << "count " << count;
  }
  EXPECT_EQ(SelectedUpTo(EntrySelection::Parse("", "1/4"), 10), (std::vector<int>{2, 6, 10}));
}

TEST(EntrySelection, ListAndShardIntersect) {
  EXPECT_EQ(SelectedUpTo(EntrySelection::Parse("1-10", "1/3"), 20), (std::vector<int>{2, 5, 8}));
  EXPECT_EQ(SelectedUpTo(EntrySelection::Parse("3,5-9", "0/2"), 20),
            (std::vector<int>{3, 5, 7, 9}));
}

std::string RefusalOf(const std::string& list, const std::string& shard) {
  try {
    EntrySelection::Parse(list, shard);
  } catch (const EntrySelectionError& error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(EntrySelection, MalformedValuesAreRefusedNamingWhatWasGiven) {
  for (const std::string list : {"0", "0-3", "3,", ",3", "3-", "-3", "a", "3 ,4", " 3", "1-2-3",
                                 "3,,4", "+3", "99999999999", "1-99999999999", "2.5"}) {
    const std::string refusal = RefusalOf(list, "");
    EXPECT_EQ(refusal.rfind("--entries ", 0), 0u) << list << ": " << refusal;
    EXPECT_NE(refusal.find("found \"" + list + "\""), std::string::npos) << refusal;
  }
  EXPECT_NE(RefusalOf("0", "").find("from 1"), std::string::npos);
  EXPECT_NE(RefusalOf("2,9-5", "").find("9-5 runs backwards"), std::string::npos);

  for (const std::string shard :
       {"4/4", "5/4", "0/0", "1/0", "a/b", "1", "1/", "/2", "-1/2", " 0/2", "0/2/3", "0 / 2"}) {
    EXPECT_EQ(RefusalOf("", shard),
              "--shard wants K/N with 0 <= K < N, such as 0/4; found \"" + shard + "\"");
  }
  EXPECT_EQ(RefusalOf("3", "0/1"), "(accepted)");
}

}  // namespace
}  // namespace tavrel
