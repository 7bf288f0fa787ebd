#include "imageio/png_decoding.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace tavrel {
namespace {

// stb_image allocates through these, so that memory exhausted while decoding
// comes back as a failure ("outofmem") rather than an abort, and so that a
// test can make allocations fail.
void* StbAllocate(std::size_t size) { return ::operator new(size, std::nothrow); }
void StbFree(void* p) { ::operator delete(p); }
void* StbReallocate(void* p, std::size_t oldSize, std::size_t newSize) {
  void* q = StbAllocate(newSize);
  if (q == nullptr) return nullptr;  // p stays valid, as with realloc
  if (p != nullptr) std::memcpy(q, p, std::min(oldSize, newSize));
  StbFree(p);
  return q;
}

}  // namespace
}  // namespace tavrel

// stb_image is compiled here with internal linkage, so that no other part of
// the program can meet a second copy of its symbols. Only its PNG decoder is
// used. Fuzzing the packaged version found its JPEG decoder writing past a
// Huffman table and its PNM header reader overflowing an int on hostile files;
// PGM and PPM have a decoder of our own, JPEG is left out (stereo pairs are
// rarely stored lossily anyway).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#define STBI_ONLY_PNG
#define STBI_MAX_DIMENSIONS (1 << 16)
#define STBI_MALLOC(size) tavrel::StbAllocate(size)
#define STBI_REALLOC_SIZED(p, oldSize, newSize) tavrel::StbReallocate(p, oldSize, newSize)
#define STBI_FREE(p) tavrel::StbFree(p)
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace tavrel {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint64_t kMaxChunkLength = 0x7FFFFFFF;

std::uint32_t BigEndian32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::string ChunkName(const std::uint8_t* type) {
  std::string name;
  for (int i = 0; i < 4; ++i) name += std::isalpha(type[i]) ? static_cast<char>(type[i]) : '?';
  return name;
}

// The most a PNG of width x height may hold up to IEND: its filtered rows at
// the deepest format (16-bit RGBA), stored without compression, plus room for
// ancillary chunks (profiles, text). Chunks beyond it are not read.
std::uint64_t ByteBudget(std::uint64_t width, std::uint64_t height) {
  const std::uint64_t raw = height * (1 + width * 8);
  return raw + raw / 8 + (std::uint64_t{16} << 20);
}

// The file from its signature to the end of IEND, every chunk's CRC checked.
std::vector<std::uint8_t> ReadChunks(ImageSource& source, std::uint64_t budget) {
  std::vector<std::uint8_t> file(kSignature, kSignature + 8);
  std::uint64_t at = 8;
  for (;;) {
    const std::vector<std::uint8_t> header = ReadBytes(source, at, 8, "PNG chunk header");
    const std::uint64_t length = BigEndian32(header.data());
    const std::string name = ChunkName(header.data() + 4);
    if (length > kMaxChunkLength) {
      throw ImageLoadError("bad header field: chunk " + name + " at byte " + std::to_string(at) +
                           " has length " + std::to_string(length));
    }
    if (at + 12 + length > budget) {
      throw ImageLoadError("too large: chunk " + name + " at byte " + std::to_string(at) +
                           " reaches past " + std::to_string(budget) +
                           " bytes, more than the picture can need");
    }
    const std::vector<std::uint8_t> body = ReadBytes(source, at + 8, length + 4, "PNG chunk");
    std::uint32_t crc = crc32(0, header.data() + 4, 4);
    crc = crc32(crc, body.data(), static_cast<uInt>(length));
    // Fuzzing skips the check, so that mutated inputs still reach the decoder.
#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    if (crc != BigEndian32(body.data() + length)) {
      throw ImageLoadError("bad checksum: chunk " + name + " at byte " + std::to_string(at));
    }
#endif
    try {
      file.insert(file.end(), header.begin(), header.end());
      file.insert(file.end(), body.begin(), body.end());
    } catch (const std::bad_alloc&) {
      throw ImageLoadError("too large: " + std::to_string(at) +
                           " bytes of PNG chunks do not fit into the memory left");
    }
    at += 12 + length;
    if (name == "IEND") return file;
  }
}

}  // namespace

bool LooksLikePng(const std::uint8_t* bytes, std::size_t size) {
  return size >= 8 && std::equal(kSignature, kSignature + 8, bytes);
}

Surface DecodePng(ImageSource& source, std::uint64_t maxPixels) {
  constexpr std::uint64_t kHeadBytes = 8 + 8 + 13 + 4;
  const std::vector<std::uint8_t> head =
      ReadBytes(source, 0, std::min(source.Size(), kHeadBytes), "PNG header");
  if (!LooksLikePng(head.data(), head.size()))
    throw ImageLoadError("unsupported format: not a PNG file");
  if (head.size() < kHeadBytes) ReadBytes(source, 0, kHeadBytes, "PNG header");  // says truncated
  if (BigEndian32(head.data() + 8) != 13 || std::memcmp(head.data() + 12, "IHDR", 4) != 0) {
    throw ImageLoadError("bad header field: the first chunk is not a 13-byte IHDR");
  }
  const std::uint32_t width = BigEndian32(head.data() + 16);
  const std::uint32_t height = BigEndian32(head.data() + 20);
  if (width == 0 || width > kMaxChunkLength) {
    throw ImageLoadError("bad header field: width " + std::to_string(width));
  }
  if (height == 0 || height > kMaxChunkLength) {
    throw ImageLoadError("bad header field: height " + std::to_string(height));
  }
  Surface decoded = NewPictureSurface(width, height, maxPixels);

  const std::vector<std::uint8_t> file = ReadChunks(source, ByteBudget(width, height));
  if (file.size() > static_cast<std::size_t>(INT32_MAX)) {
    throw ImageLoadError("too large: " + std::to_string(file.size()) + " bytes of PNG chunks");
  }
  int w = 0, h = 0, channels = 0;
  stbi_uc* rgb =
      stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &channels, 3);
  if (rgb == nullptr) {
    const std::string reason = stbi_failure_reason() ? stbi_failure_reason() : "unknown";
    if (reason == "outofmem") {
      throw ImageLoadError("too large: decoding a picture of " + SizeText(width, height) +
                           " pixels ran out of memory");
    }
    throw ImageLoadError("corrupt PNG data (" + reason + ")");
  }
  const stbi_uc* sample = rgb;
  for (int r = 0; r < decoded.height; ++r) {
    for (int c = 0; c < decoded.width; ++c, sample += 3) {
      std::uint8_t* pixel = decoded.Pixel(r, c);
      pixel[0] = sample[2];
      pixel[1] = sample[1];
      pixel[2] = sample[0];
      pixel[3] = 0;
    }
  }
  stbi_image_free(rgb);
  return decoded;
}

}  // namespace tavrel
