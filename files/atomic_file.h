#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavrel {

// A file that could not be written; what() is the system's reason
// ("No space left on device").
class FileWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes a file so that no reader ever sees a torn one. A regular target (or
// a name not yet taken) is written to a temporary name in the target's own
// folder, flushed to disk and renamed over the target on Commit; until then
// the earlier file stays as it was, and a temporary not committed is removed.
// A symbolic link at the path is followed and the file it names is replaced,
// the link staying a link. A target that is not a regular file (a device such
// as /dev/null, a FIFO), and every name under /dev or /proc, is written
// directly and never created: nothing is made inside /dev. A FIFO is opened
// without waiting, so one that no process reads is refused at once.
class AtomicFile {
 public:
  // Opens the temporary (or the direct target); throws FileWriteError.
  explicit AtomicFile(const std::string& path);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  // Appends bytes; throws FileWriteError, after which only destruction is left.
  void Write(const void* data, std::size_t size);
  void Write(std::string_view text) { Write(text.data(), text.size()); }

  // Flushes and puts the file in place; throws FileWriteError.
  void Commit();

  // The target is written in place, not through a temporary.
  bool direct() const { return temporary_.empty(); }

 private:
  void Discard() noexcept;

  std::string target_;     // the path finally written, links resolved
  std::string temporary_;  // empty when writing the target directly
  int fd_ = -1;
  std::size_t written_ = 0;
};

// Whether `path` would be written in place rather than through a temporary:
// files beside such a target (derived pictures) are not made.
bool IsWrittenDirectly(const std::string& path);

// The file `path` resolves to once symbolic links are followed (a link whose
// target does not exist yet resolves to that target); the path itself when it
// is no link. Relative links are taken from the link's folder.
std::string ResolveLinks(const std::string& path);

// Writes `bytes` as the whole file through an AtomicFile. False, with the
// system's reason in `reason` when given, when it could not be written.
bool WriteWholeFile(const std::string& path, std::string_view bytes, std::string* reason = nullptr);

// Asked when a write is interrupted by a signal, and every tenth of a second
// while a write to a FIFO or device waits for its reader: true ends the
// write with a FileWriteError, so that a program asked to stop is not held
// for ever by a reader that has stopped reading; false, or no function (the
// default), goes on waiting.
using WriteInterruption = bool (*)();
void SetWriteInterruption(WriteInterruption stop);

// For tests: called before each write with the bytes already written and the
// size about to be written; a nonzero return is taken as that errno. An empty
// function (the default) removes the hook.
using WriteFailureHook = std::function<int(std::size_t written, std::size_t size)>;
void SetWriteFailureHook(WriteFailureHook hook);

}  // namespace tavrel
