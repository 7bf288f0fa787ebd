#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "files/directions_reader.h"

namespace tavrel {
namespace {

const char* const kEntry =
    "image0.bmp image1.bmp 1\n"
    "MinDisparity \t-3\n"
    "MaxDisparity \t24\n"
    "WinRadL0 \t1\n"
    "WinRadRC \t2\n"
    "WinRadD \t1\n"
    "NumIterations \t10\n"
    "MaxScaler \t0.96\n"
    "USE_SAD \t1\n"
    "Output File \timage.dis\n";

std::vector<StereoJob> ReadAll(const std::string& text) {
  std::istringstream in(text);
  DirectionsReader reader(in);
  std::vector<StereoJob> jobs;
  StereoJob job;
  while (reader.Next(job)) jobs.push_back(job);
  return jobs;
}

// The first refusal of a file, by the reader or by CheckJobValues.
std::string FailureOf(const std::string& text) {
  try {
    for (const StereoJob& job : ReadAll(text)) CheckJobValues(job);
  } catch (const DirectionsError& error) {
    return error.what();
  }
  return "(no failure)";
}

void ExpectExampleEntry(const StereoJob& job) {
  EXPECT_EQ(job.Image0Name, "image0.bmp");
  EXPECT_EQ(job.Image1Name, "image1.bmp");
  EXPECT_EQ(job.NumBands, 1);
  EXPECT_EQ(job.Params.MinDisparity, -3);
  EXPECT_EQ(job.Params.MaxDisparity, 24);
  EXPECT_EQ(job.Params.WinRadL0, 1);
  EXPECT_EQ(job.Params.WinRadRC, 2);
  EXPECT_EQ(job.Params.WinRadD, 1);
  EXPECT_EQ(job.Params.NumIterations, 10);
  EXPECT_EQ(job.Params.MaxScaler, 0.96f);
  EXPECT_EQ(job.Params.Cost, MatchCost::Sad);
  EXPECT_EQ(job.OutputFileName, "image.dis");
}

TEST(DirectionsReader, LayoutVariationsGiveTheSameEntry) {
  const std::vector<std::string> layouts = {
      kEntry,
      // one line, single blanks
      "image0.bmp image1.bmp 1 MinDisparity -3 MaxDisparity 24 WinRadL0 1 WinRadRC 2 WinRadD 1 "
      "NumIterations 10 MaxScaler 0.96 USE_SAD 1 Output File image.dis",
      // keywords glued to their values and numbers to the next keyword
      "image0.bmp image1.bmp 1MinDisparity-3MaxDisparity24WinRadL01WinRadRC2WinRadD1"
      "NumIterations10MaxScaler0.96USE_SAD1OutputFile image.dis",
      // spread over many lines, carriage returns, tabs and blank lines
      "\r\n\n  image0.bmp\r\n\timage1.bmp\r\n1\r\n\r\nMinDisparity\r\n -3 \v\fMaxDisparity\t\t24\n"
      "WinRadL0\n1\nWinRadRC\n2\nWinRadD\n1\nNumIterations\n10\nMaxScaler\n+0.96\nUSE_SAD\n1\n"
      "Output\n\n File\n\timage.dis\r\n\r\n   \n",
      // other spellings of the scaler
      std::string(kEntry).replace(std::string(kEntry).find("0.96"), 4, "9.6e-1"),
  };
  for (const auto& text : layouts) {
    SCOPED_TRACE(text);
    const auto jobs = ReadAll(text);
    ASSERT_EQ(jobs.size(), 1u);
    ExpectExampleEntry(jobs[0]);
  }
}

// USE_SAD selects the SAD cost with any value but 0, as the engine always
// took it; 0 selects correlation.
TEST(DirectionsReader, UseSadOtherThanZeroSelectsSad) {
  for (const auto& [value, cost] :
       {std::pair{"0", MatchCost::Correlation}, std::pair{"1", MatchCost::Sad},
        std::pair{"2", MatchCost::Sad}, std::pair{"-1", MatchCost::Sad}}) {
    std::string text = kEntry;
    text.replace(text.find("USE_SAD \t1"), 10, std::string("USE_SAD \t") + value);
    const auto jobs = ReadAll(text);
    ASSERT_EQ(jobs.size(), 1u) << value;
    EXPECT_EQ(jobs[0].Params.Cost, cost) << value;
  }
}

// Entries follow one another; white space after the last one is no entry.
// Names of any length are kept as written and the radii up to their limits,
// negative ones too, are read (refusing them is CheckJobValues' work).
TEST(DirectionsReader, ReadsEntriesOneAfterAnother) {
  std::string second = kEntry;
  second.replace(second.find("image0.bmp"), 10, "../dir/" + std::string(300, 'x') + "%d.bmp");
  second.replace(second.find("image.dis"), 9, "second.dis");
  second.replace(second.find("\t10"), 3, "\t3");
  second.replace(second.find("WinRadL0 \t1"), 11, "WinRadL0 \t7");
  second.replace(second.find("WinRadRC \t2"), 11, "WinRadRC \t-1");
  second.replace(second.find("WinRadD \t1"), 10, "WinRadD \t2");
  const auto jobs = ReadAll(std::string(kEntry) + second + "\n\n  \t\n");
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].OutputFileName, "image.dis");
  EXPECT_EQ(jobs[1].Image0Name, "../dir/" + std::string(300, 'x') + "%d.bmp");
  EXPECT_EQ(jobs[1].OutputFileName, "second.dis");
  EXPECT_EQ(jobs[1].Params.NumIterations, 3);
  EXPECT_EQ(jobs[1].Params.WinRadL0, 7);
  EXPECT_EQ(jobs[1].Params.WinRadRC, -1);
  EXPECT_EQ(jobs[1].Params.WinRadD, 2);
}

// Replaces the first occurrence of `from` in the example entry.
std::string EntryWith(const std::string& from, const std::string& to) {
  std::string text = kEntry;
  text.replace(text.find(from), from.size(), to);
  return text;
}

std::string EntryCutBefore(const std::string& from) {
  std::string text = kEntry;
  return text.substr(0, text.find(from));
}

TEST(DirectionsReader, EachFailureHasItsMessage) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {EntryCutBefore("image1.bmp"), "in.dat :: Can't Read Input Image Name 1"},
      {EntryWith("1\nMin", "one\nMin"), "in.dat :: Can't Read Number of Color Bands"},
      {EntryWith("MinDisparity", "mindisparity"), "in.dat :: Can't Read MinDisparity"},
      {EntryWith("-3", "-x"), "in.dat :: Can't Read MinDisparity"},
      {EntryWith("-3", "3.5"), "in.dat :: Can't Read MaxDisparity"},
      {EntryWith("24", "many"), "in.dat :: Can't Read MaxDisparity"},
      {EntryWith("WinRadL0 \t1", "WinRadLO \t1"), "in.dat :: Can't Read WinRadL0"},
      {EntryWith("WinRadL0 \t1", "WinRadL0 \t8"), "in.dat :: WinRadL0 Too Large"},
      {EntryWith("WinRadRC \t2", "WinRadRC \t"), "in.dat :: Can't Read WinRadRC"},
      {EntryWith("WinRadRC \t2", "WinRadRC \t8"), "in.dat :: WinRadRC  Too Large"},
      {EntryWith("WinRadD \t1", "WinRadD"), "in.dat :: Can't Read WinRadD"},
      {EntryWith("WinRadD \t1", "WinRadD \t3"), "in.dat :: WinRadD Too Large"},
      {EntryWith("NumIterations", "Iterations"), "in.dat :: Can't Read NumIterations"},
      {EntryWith("0.96", ".x"), "in.dat :: Can't Read MaxScaler"},
      {EntryCutBefore("USE_SAD"), "in.dat :: Can't Read USE_SAD"},
      {EntryWith("Output File", "Output file"), "in.dat :: Can't Read Out File"},
      {EntryCutBefore("image.dis"), "in.dat :: Can't Read Out File"},
      // a radius check comes before the next field is read
      {EntryWith("WinRadRC \t2\nWinRadD \t1\nNumIterations \t10",
                 "WinRadRC \t9\nWinRadD \t1\nNumIterations \tten"),
       "in.dat :: WinRadRC  Too Large"},
      // a stray word after the last entry starts an entry of its own
      {std::string(kEntry) + "stray\n", "in.dat :: Can't Read Input Image Name 1"},
      // a value beyond the range of an integer is not a number
      {EntryWith("\t10", "\t99999999999"), "in.dat :: Can't Read NumIterations"},
      // values that read well but no job can use
      {EntryWith(" 1\nMin", " 2\nMin"), "in.dat :: Number of Color Bands must be 1 or 3"},
      {EntryWith(" 1\nMin", " 4\nMin"), "in.dat :: Number of Color Bands must be 1 or 3"},
      {EntryWith("\t24", "\t-3"), "in.dat :: MaxDisparity must be greater than MinDisparity"},
      {EntryWith("WinRadL0 \t1", "WinRadL0 \t-1"), "in.dat :: WinRadL0 must not be negative"},
      {EntryWith("WinRadRC \t2", "WinRadRC \t-2"), "in.dat :: WinRadRC must not be negative"},
      {EntryWith("WinRadD \t1", "WinRadD \t-1"), "in.dat :: WinRadD must not be negative"},
      {kEntry, "(no failure)"},
      {EntryWith(" 1\nMin", " 3\nMin"), "(no failure)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FailureOf(c.text), c.message);
  }
}

TEST(DirectionsReader, AStreamThatCannotBeReadHasNoImageName) {
  std::istringstream in("");
  in.setstate(std::ios::badbit);
  DirectionsReader reader(in);
  StereoJob job;
  try {
    reader.Next(job);
    ADD_FAILURE() << "read";
  } catch (const DirectionsError& error) {
    EXPECT_EQ(std::string(error.what()), "in.dat :: Can't Read Input Image Name 0");
  }
}

// The second line of each refusal: the file, the entry counted on from the
// entries of earlier files, the line where the item starts and the item.
std::string DetailOf(const std::string& text, int entriesBefore = 0) {
  std::istringstream in(text);
  DirectionsReader reader(in, "scene.cpd", entriesBefore);
  StereoJob job;
  try {
    while (reader.Next(job)) reader.CheckValues(job);
  } catch (const DirectionsError& error) {
    return error.Detail();
  }
  return "(no failure)";
}

TEST(DirectionsReader, EachFailureSaysWhere) {
  const std::string first = kEntry;  // lines 1 to 10
  struct Case {
    std::string second;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {EntryWith("MaxDisparity", "MaxDisparty"),
       "scene.cpd, entry 2, line 13: found \"MaxDisparty\""},
      {EntryWith("-3", "-x"), "scene.cpd, entry 2, line 12: found \"-x\""},
      {EntryWith("WinRadL0 \t1", "WinRadL0 \t8"), "scene.cpd, entry 2, line 14: found \"8\""},
      {EntryWith("1\nMin", "one\nMin"), "scene.cpd, entry 2, line 11: found \"one\""},
      {EntryWith("Output File", "Output\n\n   file"),
       "scene.cpd, entry 2, line 20: found \"Output\""},
      {EntryCutBefore("image.dis"), "scene.cpd, entry 2, line 20: the file ends here"},
      {EntryWith("image.dis", std::string(60, 'y')) + "z",
       "scene.cpd, entry 3, line 21: the file ends here"},
      {"a.bmp c.bmp\n\n\n" + std::string(50, 'b') + "\tmore",
       "scene.cpd, entry 2, line 14: found \"" + std::string(40, 'b') + "...\""},
      {EntryWith("0.96", "0.9\x01x"),
       "scene.cpd, entry 2, line 18: MaxScaler was read as 0.9 and left ?x"},
      // a number that stops early names its own field, not the next one
      {EntryWith("WinRadRC \t2", "WinRadRC \t2.5"),
       "scene.cpd, entry 2, line 15: WinRadRC was read as 2 and left .5"},
      {EntryWith("0.96", "0.96.1"),
       "scene.cpd, entry 2, line 18: MaxScaler was read as 0.96 and left .1"},
      {EntryWith("\t-3", "\t-3,5"),
       "scene.cpd, entry 2, line 12: MinDisparity was read as -3 and left ,5"},
      {EntryWith("\t10", "\t1e3"),
       "scene.cpd, entry 2, line 17: NumIterations was read as 1 and left e3"},
      // a misspelt keyword glued to the number before it is what is at fault
      {EntryWith("24\nWinRadL0", "24WinRadLO"), "scene.cpd, entry 2, line 13: found \"WinRadLO\""},
      // values that read well but no job can use: the field at fault
      {EntryWith(" 1\nMin", " 2\nMin"), "scene.cpd, entry 2, line 11: found \"2\""},
      {EntryWith("\t24", "\t-3"), "scene.cpd, entry 2, line 13: found \"-3\""},
      {EntryWith("WinRadD \t1", "WinRadD \t-1"), "scene.cpd, entry 2, line 16: found \"-1\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    EXPECT_EQ(DetailOf(first + c.second), c.detail);
  }
  EXPECT_EQ(DetailOf(first + first + "stray", 5),
            "scene.cpd, entry 8, line 21: the file ends here");
  EXPECT_EQ(DetailOf(first + first), "(no failure)");
}

// The first line stays the one the program has always given, with the
// location or without.
TEST(DirectionsReader, TheFirstLineDoesNotChangeWithTheLocation) {
  std::istringstream in(EntryWith("WinRadRC \t2", "WinRadRC \t2.5"));
  DirectionsReader reader(in, "scene.cpd");
  StereoJob job;
  try {
    reader.Next(job);
    ADD_FAILURE() << "read";
  } catch (const DirectionsError& error) {
    EXPECT_EQ(std::string(error.what()), "in.dat :: Can't Read WinRadD");
    ASSERT_TRUE(error.location().has_value());
    EXPECT_EQ(error.location()->found, ".5");
  }
  EXPECT_EQ(DirectionsError("in.dat :: x").Detail(), "");
}

// Names and numbers are read up to a limit, in time linear in their length;
// the field's message stays the first line and the second says why.
TEST(DirectionsReader, LongFieldsAndNulBytesAreRefusedWithAReason) {
  const std::size_t limit = DirectionsReader::kMaxFieldLength;
  auto with = [](const std::string& from, const std::string& to) {
    std::string text = kEntry;
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string longName = "in.dat :: Can't Read Input Image Name 0\nthe name is longer than " +
                               std::to_string(limit) + " characters";
  const std::string longNumber =
      "the number is longer than " + std::to_string(limit) + " characters";
  struct Case {
    std::string text, message;
  };
  const std::vector<Case> cases = {
      {with("image0.bmp", std::string(limit, 'a')), "(no failure)"},
      {with("image0.bmp", std::string(limit + 1, 'a')), longName},
      {with("image.dis", std::string(limit + 1, 'o')),
       "in.dat :: Can't Read Out File\nthe name is longer than " + std::to_string(limit) +
           " characters"},
      {with("image1.bmp", std::string("ima\0ge1.bmp", 11)),
       "in.dat :: Can't Read Input Image Name 1\nthe name holds a NUL byte"},
      {std::string(1, '\0') + kEntry,
       "in.dat :: Can't Read Input Image Name 0\nthe name holds a NUL byte"},
      {with("-3", std::string(limit, '0') + "3"),
       "in.dat :: Can't Read MinDisparity\n" + longNumber},
      {with("-3", "-" + std::string(limit - 1, '0') + "3"), "(no failure)"},
      {with("0.96", "0." + std::string(limit, '9')),
       "in.dat :: Can't Read MaxScaler\n" + longNumber},
      {with("0.96", "0." + std::string(limit - 2, '9')), "(no failure)"},
      {with("0.96", "1e" + std::string(limit, '1')),
       "in.dat :: Can't Read MaxScaler\n" + longNumber},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    EXPECT_EQ(FailureOf(c.text), c.message);
  }
}

TEST(DirectionsReader, AHugeNumberOrAnEndlessNameEndsQuickly) {
  const auto started = std::chrono::steady_clock::now();
  std::string digits = kEntry;
  digits.replace(digits.find("0.96"), 4, std::string(2000000, '7'));
  EXPECT_NE(FailureOf(digits).find("Can't Read MaxScaler"), std::string::npos);
  // An endless stream of one character: only the limit ends the name.
  struct Endless : std::streambuf {
    int_type underflow() override {
      setg(buffer, buffer, buffer + sizeof buffer);
      return 'x';
    }
    char buffer[4096] = {};
    Endless() { std::fill(std::begin(buffer), std::end(buffer), 'x'); }
  } endless;
  std::istream in(&endless);
  DirectionsReader reader(in);
  StereoJob job;
  EXPECT_THROW(reader.Next(job), DirectionsError);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

}  // namespace
}  // namespace tavrel
