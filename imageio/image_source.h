#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imageio/image_loading.h"
#include "imageio/surface.h"

// What the decoders share: where an image's bytes come from, bounded reads,
// and the checked allocation of the decoded picture.

namespace tavrel {

// Where an image's bytes come from: a file, or memory (tests, fuzzing). The
// decoders ask for ranges, so that a header is checked before its body is read
// and bytes the picture does not need are never read.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Fills `into` with the `count` bytes at `offset`, a range inside Size().
  // Throws ImageLoadError when they cannot be read.
  virtual void Read(std::uint64_t offset, std::size_t count, std::uint8_t* into) = 0;
};

class MemorySource : public ImageSource {
 public:
  MemorySource(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  void Read(std::uint64_t offset, std::size_t count, std::uint8_t* into) override;

 private:
  const std::uint8_t* bytes_;
  std::size_t size_;
};

// A regular file, opened at construction; throws ImageLoadError with the
// system's reason when it cannot be opened, or when it is no regular file.
class FileSource : public ImageSource {
 public:
  explicit FileSource(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  std::uint64_t Size() const override { return size_; }
  void Read(std::uint64_t offset, std::size_t count, std::uint8_t* into) override;

 private:
  int descriptor_ = -1;
  std::uint64_t size_ = 0;
};

// The `count` bytes at `offset`. Throws ImageLoadError "truncated" naming
// `part` when the source ends before them, "too large" when they cannot be held.
std::vector<std::uint8_t> ReadBytes(ImageSource& source, std::uint64_t offset, std::uint64_t count,
                                    const char* part);

// A zeroed surface for a decoded picture of width x height, after the pixel
// limit; memory exhausted becomes ImageLoadError "too large".
Surface NewPictureSurface(std::int64_t width, std::int64_t height, std::uint64_t maxPixels);

// "W x H"
std::string SizeText(std::int64_t width, std::int64_t height);

}  // namespace tavrel
