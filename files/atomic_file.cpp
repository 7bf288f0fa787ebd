#include "files/atomic_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

namespace tavrel {
namespace {

namespace fs = std::filesystem;

WriteFailureHook& FailureHook() {
  static WriteFailureHook hook;
  return hook;
}

std::atomic<WriteInterruption> interruption{nullptr};

// How long a write to a full pipe or device waits before it asks again
// whether the program has been asked to stop.
constexpr int kStopCheckMilliseconds = 100;

[[noreturn]] void Fail(int error) { throw FileWriteError(std::strerror(error)); }

[[noreturn]] void Fail(const std::string& reason) { throw FileWriteError(reason); }

// Names under /dev and /proc stand for devices and streams (/dev/stdout is a
// link through /proc to whatever the shell opened): they are written where
// they are, never replaced.
bool IsSystemName(const std::string& path) {
  std::error_code error;
  const std::string absolute = fs::absolute(path, error).lexically_normal().string();
  return absolute.rfind("/dev/", 0) == 0 || absolute.rfind("/proc/", 0) == 0 ||
         absolute == "/dev" || absolute == "/proc";
}

// The mode a new file gets from open(..., 0666): what the umask leaves.
mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::string ResolveLinks(const std::string& path) {
  fs::path current(path);
  // As many hops as the system itself follows before it gives up (ELOOP).
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info {};
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current.string();
    std::vector<char> target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
    const ssize_t length = readlink(current.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return current.string();
    const fs::path next(std::string(target.data(), static_cast<std::size_t>(length)));
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return current.string();
}

bool IsWrittenDirectly(const std::string& path) {
  if (IsSystemName(path)) return true;
  struct stat info {};
  const std::string target = ResolveLinks(path);
  return stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

AtomicFile::AtomicFile(const std::string& path) : target_(ResolveLinks(path)) {
  if (IsWrittenDirectly(path)) {
    // Without O_NONBLOCK, opening a FIFO waits for a reader, for ever if none
    // comes; it stays on, so that Write can wait for a slow reader and still
    // see a request to stop.
    fd_ = open(path.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0 && errno == ENXIO) Fail("no process is reading from it");
    if (fd_ < 0) Fail(errno);
    target_ = path;
    return;
  }
  struct stat existing {};
  const bool exists = stat(target_.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) Fail(EISDIR);
  const fs::path target(target_);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  if (IsSystemName(folder.string())) Fail("no files are created in " + folder.string());
  std::string hidden = ".";
  hidden += target.filename().string();
  hidden += ".tavrel-XXXXXX";
  std::string pattern = (folder / hidden).string();
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) Fail(errno);
  temporary_ = pattern;
  // The new file takes the place of the old one, so it takes its permissions
  // too; a new name gets what open() would have given it.
  const mode_t mode = exists ? (existing.st_mode & 07777) : NewFileMode();
  if (fchmod(fd_, mode) != 0) {
    const int error = errno;
    Discard();
    Fail(error);
  }
}

AtomicFile::~AtomicFile() { Discard(); }

void AtomicFile::Discard() noexcept {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) unlink(temporary_.c_str());
  temporary_.clear();
}

void AtomicFile::Write(const void* data, std::size_t size) {
  if (fd_ < 0) Fail(EBADF);
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    if (FailureHook()) {
      if (const int error = FailureHook()(written_, size)) Fail(error);
    }
    const ssize_t done = write(fd_, bytes, size);
    if (done < 0) {
      if (errno != EINTR && errno != EAGAIN) Fail(errno);
      const WriteInterruption stop = interruption.load();
      if (stop && stop()) Fail(EINTR);
      // A reader that is not keeping up: wait for room, a little at a time,
      // so that a request to stop is seen however it falls between waits.
      if (errno == EAGAIN) {
        pollfd room{fd_, POLLOUT, 0};
        poll(&room, 1, kStopCheckMilliseconds);
      }
      continue;
    }
    bytes += done;
    size -= static_cast<std::size_t>(done);
    written_ += static_cast<std::size_t>(done);
  }
}

void AtomicFile::Commit() {
  if (fd_ < 0) Fail(EBADF);
  if (direct()) {
    const int result = close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) Fail(errno);
    return;
  }
  // On disk before the name moves, so that a crash leaves the old file or
  // the whole new one, never a named empty one.
  if (fsync(fd_) != 0) Fail(errno);
  const int closed = close(fd_);
  fd_ = -1;
  if (closed != 0) Fail(errno);
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) Fail(errno);
  temporary_.clear();
}

bool WriteWholeFile(const std::string& path, std::string_view bytes, std::string* reason) {
  try {
    AtomicFile file(path);
    file.Write(bytes);
    file.Commit();
    return true;
  } catch (const FileWriteError& error) {
    if (reason) *reason = error.what();
  } catch (const std::bad_alloc&) {
    if (reason) *reason = std::strerror(ENOMEM);
  }
  return false;
}

void SetWriteInterruption(WriteInterruption stop) { interruption.store(stop); }

void SetWriteFailureHook(WriteFailureHook hook) { FailureHook() = std::move(hook); }

}  // namespace tavrel
