#include "display/pnm_decoding.h"

namespace tavrel {
namespace {

bool IsSpace(std::uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads one header number, skipping white space and comments before it.
// Numbers beyond `limit` are refused rather than allowed to overflow.
bool ReadNumber(const std::uint8_t* bytes, std::size_t size, std::size_t& at, std::uint32_t limit,
                std::uint32_t& value) {
  for (;;) {
    while (at < size && IsSpace(bytes[at])) ++at;
    if (at < size && bytes[at] == '#') {
      while (at < size && bytes[at] != '\n' && bytes[at] != '\r') ++at;
    } else {
      break;
    }
  }
  if (at >= size || bytes[at] < '0' || bytes[at] > '9') return false;
  std::uint64_t v = 0;
  while (at < size && bytes[at] >= '0' && bytes[at] <= '9') {
    v = v * 10 + (bytes[at++] - '0');
    if (v > limit) return false;
  }
  value = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

bool LooksLikePnm(const std::uint8_t* bytes, std::size_t size) {
  return size >= 2 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '6');
}

bool DecodePnm(const std::uint8_t* bytes, std::size_t size, std::uint64_t maxPixels,
               Surface& surface) {
  if (!LooksLikePnm(bytes, size)) return false;
  const int channels = bytes[1] == '6' ? 3 : 1;
  std::size_t at = 2;
  std::uint32_t width = 0, height = 0, maxValue = 0;
  constexpr std::uint32_t kSideLimit = 1u << 24;
  if (!ReadNumber(bytes, size, at, kSideLimit, width) ||
      !ReadNumber(bytes, size, at, kSideLimit, height) ||
      !ReadNumber(bytes, size, at, 65535, maxValue)) {
    return false;
  }
  if (width == 0 || height == 0 || maxValue == 0) return false;
  if (std::uint64_t{width} * height > maxPixels) return false;
  if (at >= size || !IsSpace(bytes[at])) return false;
  ++at;  // the single white-space character that ends the header
  const std::uint64_t sampleBytes = maxValue > 255 ? 2 : 1;
  const std::uint64_t needed = std::uint64_t{width} * height * channels * sampleBytes;
  if (needed > size - at) return false;

  Surface decoded(static_cast<int>(width), static_cast<int>(height));
  auto sample = [&](std::size_t index) -> std::uint8_t {
    const std::size_t p = at + index * sampleBytes;
    const std::uint64_t v = sampleBytes == 2 ? (bytes[p] << 8 | bytes[p + 1]) : bytes[p];
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
  surface = std::move(decoded);
  return true;
}

}  // namespace tavrel
