#include "imageio/pnm_decoding.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace tavrel {
namespace {

constexpr std::uint64_t kHeaderLimit = 64 * 1024;

bool IsSpace(std::uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

struct PnmHeader {
  int channels = 1;
  std::uint32_t width = 0, height = 0, maxValue = 0;
  std::size_t end = 0;  // where the samples start
};

// Reads the header from the start of the file. A window that ends inside it
// is not a refusal unless it is the whole file or the 64 KiB limit: the caller
// then reads a larger window.
class HeaderParser {
 public:
  HeaderParser(const std::vector<std::uint8_t>& window, bool final)
      : head_(window), final_(final) {}

  std::optional<PnmHeader> Parse() {
    PnmHeader h;
    h.channels = head_[1] == '6' ? 3 : 1;
    constexpr std::uint32_t kSideLimit = 1u << 24;
    if (!Number(kSideLimit, "width", h.width) || !Number(kSideLimit, "height", h.height) ||
        !Number(65535, "maximum value", h.maxValue)) {
      return std::nullopt;
    }
    if (at_ >= head_.size()) {
      RanOut("the header ends after the maximum value");
      return std::nullopt;
    }
    if (!IsSpace(head_[at_])) {
      throw ImageLoadError("bad header field: maximum value not followed by a space");
    }
    h.end = at_ + 1;  // the single white-space character that ends the header
    return h;
  }

 private:
  // The window ends inside the header: a refusal only when no larger window
  // can follow.
  void RanOut(const std::string& where) const {
    if (!final_) return;
    if (head_.size() == kHeaderLimit) {
      throw ImageLoadError("bad header field: header longer than 64 KiB");
    }
    throw ImageLoadError("truncated: " + where);
  }

  // One header number named `field`, after white space and comments. Numbers
  // beyond `limit` are refused rather than allowed to overflow.
  bool Number(std::uint32_t limit, const char* field, std::uint32_t& value) {
    const std::size_t size = head_.size();
    for (;;) {
      while (at_ < size && IsSpace(head_[at_])) ++at_;
      if (at_ < size && head_[at_] == '#') {
        while (at_ < size && head_[at_] != '\n' && head_[at_] != '\r') ++at_;
      } else {
        break;
      }
    }
    if (at_ >= size) {
      RanOut(std::string("the header ends before the ") + field);
      return false;
    }
    if (head_[at_] < '0' || head_[at_] > '9') {
      throw ImageLoadError(std::string("bad header field: ") + field + " is not a number");
    }
    std::uint64_t v = 0;
    while (at_ < size && head_[at_] >= '0' && head_[at_] <= '9') {
      v = v * 10 + (head_[at_++] - '0');
      if (v > limit) {
        throw ImageLoadError(std::string("bad header field: ") + field + " above " +
                             std::to_string(limit));
      }
    }
    if (at_ >= size && !final_) return false;  // the number may go on
    if (v == 0) throw ImageLoadError(std::string("bad header field: ") + field + " is 0");
    value = static_cast<std::uint32_t>(v);
    return true;
  }

  const std::vector<std::uint8_t>& head_;
  bool final_;
  std::size_t at_ = 2;
};

// Reads windows of growing size until one holds the whole header.
PnmHeader ReadHeader(ImageSource& source) {
  const std::uint64_t last = std::min(source.Size(), kHeaderLimit);
  for (std::uint64_t window = std::min<std::uint64_t>(last, 256);;
       window = std::min(last, window * 8)) {
    const std::vector<std::uint8_t> head = ReadBytes(source, 0, window, "header");
    if (!LooksLikePnm(head.data(), head.size())) {
      throw ImageLoadError("unsupported format: not a binary PGM or PPM file");
    }
    if (auto header = HeaderParser(head, window == last).Parse()) return *header;
  }
}

}  // namespace

bool LooksLikePnm(const std::uint8_t* bytes, std::size_t size) {
  return size >= 2 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '6');
}

Surface DecodePnm(ImageSource& source, std::uint64_t maxPixels) {
  const PnmHeader h = ReadHeader(source);
  Surface decoded = NewPictureSurface(h.width, h.height, maxPixels);
  const std::uint64_t sampleBytes = h.maxValue > 255 ? 2 : 1;
  const std::uint32_t maxValue = h.maxValue;
  const int channels = h.channels;
  const std::vector<std::uint8_t> samples = ReadBytes(
      source, h.end, std::uint64_t{h.width} * h.height * channels * sampleBytes, "pixel data");
  auto sample = [&](std::size_t index) -> std::uint8_t {
    const std::size_t p = index * sampleBytes;
    const std::uint64_t v = sampleBytes == 2 ? (samples[p] << 8 | samples[p + 1]) : samples[p];
    if (v >= maxValue) return 255;
    return static_cast<std::uint8_t>((v * 255 + maxValue / 2) / maxValue);
  };
  std::size_t index = 0;
  for (int r = 0; r < decoded.height; ++r) {
    for (int c = 0; c < decoded.width; ++c) {
      std::uint8_t* pixel = decoded.Pixel(r, c);
      if (channels == 3) {
        pixel[2] = sample(index++);
        pixel[1] = sample(index++);
        pixel[0] = sample(index++);
      } else {
        pixel[0] = pixel[1] = pixel[2] = sample(index++);
      }
      pixel[3] = 0;
    }
  }
  return decoded;
}

}  // namespace tavrel
