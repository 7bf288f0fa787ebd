#include "files/directions_reader.h"

#include <charconv>
#include <cstdint>
#include <limits>

#include "engine/stereo_matcher.h"

namespace tavrel {
namespace {

constexpr int kEnd = std::char_traits<char>::eof();

bool IsWhiteSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

[[noreturn]] void Fail(const std::string& what) { throw DirectionsError("in.dat :: " + what); }

std::string TooLong() {
  return "the number is longer than " + std::to_string(DirectionsReader::kMaxFieldLength) +
         " characters";
}

}  // namespace

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
  if (c != kEnd) pending_.pop_front();
  return c;
}

void DirectionsReader::SkipWhiteSpace() {
  while (IsWhiteSpace(Peek())) Get();
}

bool DirectionsReader::ReadToken(std::string& token) {
  SkipWhiteSpace();
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
  SkipWhiteSpace();
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
  SkipWhiteSpace();
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
  SkipWhiteSpace();
  return true;
}

// A decimal number: optional sign, digits with an optional point and fraction,
// optional exponent. An "e" not followed by digits is not part of the number.
bool DirectionsReader::ReadDecimal(float& value) {
  SkipWhiteSpace();
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
  SkipWhiteSpace();
  return true;
}

bool DirectionsReader::Next(StereoJob& job) {
  why_.clear();
  SkipWhiteSpace();
  if (Peek() == kEnd) {
    if (in_.bad()) FailField("Can't Read Input Image Name 0");
    return false;
  }
  if (!ReadToken(job.Image0Name)) FailField("Can't Read Input Image Name 0");
  if (!ReadToken(job.Image1Name)) FailField("Can't Read Input Image Name 1");
  if (!ReadInteger(job.NumBands)) FailField("Can't Read Number of Color Bands");
  if (!ReadKeyword("MinDisparity") || !ReadInteger(job.MinDisparity)) {
    FailField("Can't Read MinDisparity");
  }
  if (!ReadKeyword("MaxDisparity") || !ReadInteger(job.MaxDisparity)) {
    FailField("Can't Read MaxDisparity");
  }
  if (!ReadKeyword("WinRadL0") || !ReadInteger(job.WinRadL0)) FailField("Can't Read WinRadL0");
  if (job.WinRadL0 >= kWinRadL0Limit) FailField("WinRadL0 Too Large");
  if (!ReadKeyword("WinRadRC") || !ReadInteger(job.WinRadRC)) FailField("Can't Read WinRadRC");
  if (job.WinRadRC >= kWinRadRCLimit) FailField("WinRadRC  Too Large");
  if (!ReadKeyword("WinRadD") || !ReadInteger(job.WinRadD)) FailField("Can't Read WinRadD");
  if (job.WinRadD >= kWinRadDLimit) FailField("WinRadD Too Large");
  if (!ReadKeyword("NumIterations") || !ReadInteger(job.NumIterations)) {
    FailField("Can't Read NumIterations");
  }
  if (!ReadKeyword("MaxScaler") || !ReadDecimal(job.MaxScaler)) FailField("Can't Read MaxScaler");
  if (!ReadKeyword("USE_SAD") || !ReadInteger(job.USE_SAD)) FailField("Can't Read USE_SAD");
  if (!ReadKeyword("Output File") || !ReadToken(job.OutputFileName)) {
    FailField("Can't Read Out File");
  }
  SkipWhiteSpace();
  return true;
}

void CheckJobValues(const StereoJob& job) {
  if (job.NumBands != 1 && job.NumBands != 3) Fail("Number of Color Bands must be 1 or 3");
  if (job.MaxDisparity <= job.MinDisparity) {
    Fail("MaxDisparity must be greater than MinDisparity");
  }
  if (job.WinRadL0 < 0) Fail("WinRadL0 must not be negative");
  if (job.WinRadRC < 0) Fail("WinRadRC must not be negative");
  if (job.WinRadD < 0) Fail("WinRadD must not be negative");
}

}  // namespace tavrel
