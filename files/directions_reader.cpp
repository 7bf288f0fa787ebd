#include "files/directions_reader.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "engine/stereo_matcher.h"

namespace tavrel {
namespace {

constexpr int kEnd = std::char_traits<char>::eof();

bool IsWhiteSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

constexpr char kMessageStart[] = "in.dat :: ";

[[noreturn]] void Fail(const std::string& what) { throw DirectionsError(kMessageStart + what); }

// The longest item a location quotes; a longer one is cut and marked.
constexpr std::size_t kQuotedLength = 40;

// The first value of `job` that no job can use: its field and the complaint.
std::optional<std::pair<const char*, std::string>> UnusableValue(const StereoJob& job) {
  if (job.NumBands != 1 && job.NumBands != 3) {
    return {{"Number of Color Bands", "Number of Color Bands must be 1 or 3"}};
  }
  if (job.Params.MaxDisparity <= job.Params.MinDisparity) {
    return {{"MaxDisparity", "MaxDisparity must be greater than MinDisparity"}};
  }
  if (job.Params.WinRadL0 < 0) return {{"WinRadL0", "WinRadL0 must not be negative"}};
  if (job.Params.WinRadRC < 0) return {{"WinRadRC", "WinRadRC must not be negative"}};
  if (job.Params.WinRadD < 0) return {{"WinRadD", "WinRadD must not be negative"}};
  return std::nullopt;
}

// Whether `left`, found glued to a number, looks like more of that number
// (".5", ",5", "e3") rather than a misspelt keyword that follows it.
bool LooksLikeMoreOfANumber(const std::string& left) {
  const auto first = static_cast<unsigned char>(left[0]);
  if (first == 'e' || first == 'E') return left.size() > 1 && !std::isalpha(left[1]);
  return !std::isalpha(first);
}

std::string TooLong() {
  return "the number is longer than " + std::to_string(DirectionsReader::kMaxFieldLength) +
         " characters";
}

}  // namespace

std::string DescribeLocation(const DirectionsLocation& location) {
  std::string text;
  if (!location.file.empty()) text += location.file + ", ";
  text += "entry " + std::to_string(location.entry) + ", line " + std::to_string(location.line);
  if (!location.misread.empty()) return text + ": " + location.misread;
  if (location.found.empty()) return text + ": the file ends here";
  return text + ": found \"" + location.found + "\"";
}

DirectionsLocation DirectionsReader::LocationOf(const Item& item) const {
  DirectionsLocation location;
  location.file = fileName_;
  location.entry = entry_;
  location.line = item.line;
  for (char c : item.text) {
    const auto byte = static_cast<unsigned char>(c);
    location.found.push_back(byte < 0x20 || byte == 0x7f ? '?' : c);
  }
  return location;
}

// Errors carry the item being read; where a number ran into what looks like
// more of it, the error names that number's field, the one really at fault.
void DirectionsReader::Fail(const std::string& what) {
  DirectionsLocation location = LocationOf(Item{item_.line, ItemText()});
  if (itemIsKeyword_ && gluedToNumber_ && !fields_.empty() && !location.found.empty() &&
      LooksLikeMoreOfANumber(location.found)) {
    location.misread = fields_.back().first + " was read as " + fields_.back().second.text +
                       " and left " + location.found;
  }
  throw DirectionsError(kMessageStart + what, std::move(location));
}

void DirectionsReader::BeginItem(bool keyword) {
  gluedToNumber_ = numberEndedGlued_;
  numberEndedGlued_ = false;
  SkipWhiteSpace();
  item_ = Item{line_, {}};
  itemIsKeyword_ = keyword;
}

// The item being read, up to the first white space: what was consumed of it
// and what follows, looked at but not consumed.
std::string DirectionsReader::ItemText() {
  std::string text;
  for (char c : item_.text) {
    if (IsWhiteSpace(static_cast<unsigned char>(c))) return text;
    text.push_back(c);
  }
  for (std::size_t ahead = 0; text.size() <= kQuotedLength; ++ahead) {
    const int c = Peek(ahead);
    if (c == kEnd || IsWhiteSpace(c)) break;
    text.push_back(static_cast<char>(c));
  }
  if (text.size() > kQuotedLength) text = text.substr(0, kQuotedLength) + "...";
  return text;
}

// The field just read whole: what was written for it, where.
void DirectionsReader::Keep(const char* field) {
  std::string written;
  for (char c : item_.text) {
    if (IsWhiteSpace(static_cast<unsigned char>(c))) break;
    written.push_back(c);
  }
  fields_.emplace_back(field, Item{item_.line, written});
}

void DirectionsReader::FailField(const std::string& what) {
  if (why_.empty()) Fail(what);
  Fail(what + "\n" + why_);
}

int DirectionsReader::Peek(std::size_t ahead) {
  while (pending_.size() <= ahead) {
    const int c = in_.get();
    if (c == kEnd) return kEnd;
    pending_.push_back(static_cast<char>(c));
  }
  return static_cast<unsigned char>(pending_[ahead]);
}

int DirectionsReader::Get() {
  const int c = Peek();
  if (c == kEnd) return c;
  pending_.pop_front();
  if (c == '\n') ++line_;
  if (item_.text.size() <= kQuotedLength) item_.text.push_back(static_cast<char>(c));
  return c;
}

void DirectionsReader::SkipWhiteSpace() {
  while (IsWhiteSpace(Peek())) Get();
}

bool DirectionsReader::ReadToken(std::string& token) {
  BeginItem(false);
  token.clear();
  for (int c = Peek(); c != kEnd && !IsWhiteSpace(c); c = Peek()) {
    // A name is handed to the system as a C string, which a NUL would cut short.
    if (c == '\0') {
      why_ = "the name holds a NUL byte";
      return false;
    }
    if (token.size() == kMaxFieldLength) {
      why_ = "the name is longer than " + std::to_string(kMaxFieldLength) + " characters";
      return false;
    }
    token.push_back(static_cast<char>(Get()));
  }
  return !token.empty();
}

// Matches the keyword character by character; the blank in "Output File"
// stands for any white space, none included.
bool DirectionsReader::ReadKeyword(const char* keyword) {
  BeginItem(true);
  for (const char* k = keyword; *k != '\0'; ++k) {
    if (*k == ' ') {
      SkipWhiteSpace();
    } else if (Peek() == static_cast<unsigned char>(*k)) {
      Get();
    } else {
      return false;
    }
  }
  return true;
}

bool DirectionsReader::ReadInteger(int& value) {
  BeginItem(false);
  bool negative = false;
  if (Peek() == '+' || Peek() == '-') {
    if (!IsDigit(Peek(1))) return false;
    negative = Get() == '-';
  }
  if (!IsDigit(Peek())) return false;
  std::int64_t magnitude = 0;
  bool overflow = false;
  for (std::size_t digits = 0; IsDigit(Peek()); ++digits) {
    if (digits == kMaxFieldLength) {
      why_ = TooLong();
      return false;
    }
    magnitude = magnitude * 10 + (Get() - '0');
    if (magnitude > std::int64_t{std::numeric_limits<int>::max()} + 1) {
      overflow = true;
      magnitude = 0;
    }
  }
  const std::int64_t v = negative ? -magnitude : magnitude;
  if (overflow || v > std::numeric_limits<int>::max()) return false;
  value = static_cast<int>(v);
  numberEndedGlued_ = Peek() != kEnd && !IsWhiteSpace(Peek());
  SkipWhiteSpace();
  return true;
}

// A decimal number: optional sign, digits with an optional point and fraction,
// optional exponent. An "e" not followed by digits is not part of the number.
bool DirectionsReader::ReadDecimal(float& value) {
  BeginItem(false);
  std::string text;
  std::size_t at = 0;
  // The look-ahead stops one past the limit: a number that long is refused.
  const std::size_t limit = kMaxFieldLength + 1;
  if (Peek() == '+' || Peek() == '-') ++at;
  std::size_t digits = 0;
  while (at < limit && IsDigit(Peek(at))) ++at, ++digits;
  if (at < limit && Peek(at) == '.') {
    ++at;
    while (at < limit && IsDigit(Peek(at))) ++at, ++digits;
  }
  if (digits == 0) return false;
  if (at < limit && (Peek(at) == 'e' || Peek(at) == 'E')) {
    std::size_t e = at + 1;
    if (Peek(e) == '+' || Peek(e) == '-') ++e;
    if (IsDigit(Peek(e))) {
      while (e < limit && IsDigit(Peek(e))) ++e;
      at = e;
    }
  }
  if (at > kMaxFieldLength) {
    why_ = TooLong();
    return false;
  }
  for (std::size_t i = 0; i < at; ++i) text.push_back(static_cast<char>(Get()));
  // from_chars takes no plus sign and, unlike strtof, ignores the locale.
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  const char* last = text.data() + text.size();
  float f = 0.0f;
  std::from_chars_result result = std::from_chars(first, last, f);
  if (result.ec == std::errc::result_out_of_range) {
    // Far beyond or below the range of a float: as a double, then rounded.
    double d = 0.0;
    result = std::from_chars(first, last, d);
    f = static_cast<float>(d);
  }
  if (result.ec != std::errc() || result.ptr != last) return false;
  value = f;
  numberEndedGlued_ = Peek() != kEnd && !IsWhiteSpace(Peek());
  SkipWhiteSpace();
  return true;
}

bool DirectionsReader::Next(StereoJob& job) {
  why_.clear();
  // Editors that save UTF-8 with a byte-order mark put it before the first
  // name, where it would become part of that name.
  if (entry_ == entriesBefore_ && !byteOrderMarkSkipped_ && Peek(0) == 0xEF && Peek(1) == 0xBB &&
      Peek(2) == 0xBF) {
    for (int i = 0; i < 3; ++i) Get();
    byteOrderMarkSkipped_ = true;
  }
  SkipWhiteSpace();
  fields_.clear();
  numberEndedGlued_ = false;
  item_ = Item{line_, {}};
  if (Peek() == kEnd) {
    if (in_.bad()) FailField("Can't Read Input Image Name 0");
    return false;
  }
  ++entry_;
  if (!ReadToken(job.Image0Name)) FailField("Can't Read Input Image Name 0");
  Keep("Input Image Name 0");
  if (!ReadToken(job.Image1Name)) FailField("Can't Read Input Image Name 1");
  Keep("Input Image Name 1");
  if (!ReadInteger(job.NumBands)) FailField("Can't Read Number of Color Bands");
  Keep("Number of Color Bands");
  if (!ReadKeyword("MinDisparity") || !ReadInteger(job.Params.MinDisparity)) {
    FailField("Can't Read MinDisparity");
  }
  Keep("MinDisparity");
  if (!ReadKeyword("MaxDisparity") || !ReadInteger(job.Params.MaxDisparity)) {
    FailField("Can't Read MaxDisparity");
  }
  Keep("MaxDisparity");
  if (!ReadKeyword("WinRadL0") || !ReadInteger(job.Params.WinRadL0))
    FailField("Can't Read WinRadL0");
  if (job.Params.WinRadL0 >= kWinRadL0Limit) FailField("WinRadL0 Too Large");
  Keep("WinRadL0");
  if (!ReadKeyword("WinRadRC") || !ReadInteger(job.Params.WinRadRC))
    FailField("Can't Read WinRadRC");
  if (job.Params.WinRadRC >= kWinRadRCLimit) FailField("WinRadRC  Too Large");
  Keep("WinRadRC");
  if (!ReadKeyword("WinRadD") || !ReadInteger(job.Params.WinRadD)) FailField("Can't Read WinRadD");
  if (job.Params.WinRadD >= kWinRadDLimit) FailField("WinRadD Too Large");
  Keep("WinRadD");
  if (!ReadKeyword("NumIterations") || !ReadInteger(job.Params.NumIterations)) {
    FailField("Can't Read NumIterations");
  }
  Keep("NumIterations");
  if (!ReadKeyword("MaxScaler") || !ReadDecimal(job.Params.MaxScaler))
    FailField("Can't Read MaxScaler");
  Keep("MaxScaler");
  int useSad = 0;
  if (!ReadKeyword("USE_SAD") || !ReadInteger(useSad)) FailField("Can't Read USE_SAD");
  job.Params.Cost = useSad != 0 ? MatchCost::Sad : MatchCost::Correlation;
  Keep("USE_SAD");
  if (!ReadKeyword("Output File") || !ReadToken(job.OutputFileName)) {
    FailField("Can't Read Out File");
  }
  Keep("Output File");
  SkipWhiteSpace();
  return true;
}

void DirectionsReader::CheckValues(const StereoJob& job) const {
  const auto unusable = UnusableValue(job);
  if (!unusable) return;
  DirectionsLocation location;
  for (const auto& [field, item] : fields_) {
    if (field == unusable->first) location = LocationOf(item);
  }
  throw DirectionsError(kMessageStart + unusable->second, std::move(location));
}

void CheckJobValues(const StereoJob& job) {
  if (const auto unusable = UnusableValue(job)) Fail(unusable->second);
}

}  // namespace tavrel
