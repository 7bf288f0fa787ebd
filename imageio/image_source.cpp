#include "imageio/image_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace tavrel {

void MemorySource::Read(std::uint64_t offset, std::size_t count, std::uint8_t* into) {
  std::memcpy(into, bytes_ + offset, count);
}

FileSource::FileSource(const std::string& path) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer before the
  // check below could refuse it; regular files read the same either way.
  descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor_ < 0) throw ImageLoadError(std::string("cannot open: ") + std::strerror(errno));
  struct stat status {};
  if (::fstat(descriptor_, &status) != 0) {
    const int error = errno;
    ::close(descriptor_);
    throw ImageLoadError(std::string("cannot open: ") + std::strerror(error));
  }
  if (!S_ISREG(status.st_mode)) {
    ::close(descriptor_);
    throw ImageLoadError("not a regular file");
  }
  size_ = static_cast<std::uint64_t>(status.st_size);
}

FileSource::~FileSource() { ::close(descriptor_); }

void FileSource::Read(std::uint64_t offset, std::size_t count, std::uint8_t* into) {
  while (count > 0) {
    const ssize_t got = ::pread(descriptor_, into, count, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ImageLoadError(std::string("read error: ") + std::strerror(errno));
    if (got == 0) throw ImageLoadError("truncated: the file became shorter while it was read");
    into += got;
    offset += static_cast<std::uint64_t>(got);
    count -= static_cast<std::size_t>(got);
  }
}

std::vector<std::uint8_t> ReadBytes(ImageSource& source, std::uint64_t offset, std::uint64_t count,
                                    const char* part) {
  const std::uint64_t size = source.Size();
  if (offset > size || count > size - offset) {
    throw ImageLoadError("truncated: the " + std::string(part) + " needs bytes up to " +
                         std::to_string(offset + count) + ", the file holds " +
                         std::to_string(size));
  }
  std::vector<std::uint8_t> bytes;
  try {
    bytes.resize(count);
  } catch (const std::bad_alloc&) {
    throw ImageLoadError("too large: " + std::to_string(count) + " bytes of " + part +
                         " do not fit into the memory left");
  } catch (const std::length_error&) {
    throw ImageLoadError("too large: " + std::to_string(count) + " bytes of " + part);
  }
  if (count > 0) source.Read(offset, count, bytes.data());
  return bytes;
}

std::string SizeText(std::int64_t width, std::int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

Surface NewPictureSurface(std::int64_t width, std::int64_t height, std::uint64_t maxPixels) {
  if (width <= 0 || height <= 0) {
    throw ImageLoadError("bad header field: size " + SizeText(width, height));
  }
  if (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > maxPixels) {
    throw ImageLoadError("too large: " + SizeText(width, height) +
                         " pixels, more than the limit of " + std::to_string(maxPixels));
  }
  try {
    return Surface(static_cast<int>(width), static_cast<int>(height));
  } catch (const std::bad_alloc&) {
    throw ImageLoadError("too large: a picture of " + SizeText(width, height) +
                         " pixels does not fit into the memory left");
  }
}

}  // namespace tavrel
