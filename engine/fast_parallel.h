#pragma once

// Helpers shared by the fast stages.

#include <atomic>
#include <cassert>
#include <cstddef>
#include <exception>
#include <memory>

namespace tavrel::fast {

// Scratch memory that a thread keeps from one call to the next, so that the
// per-row buffers of a stage are not mapped and cleared by the system on
// every call. It holds what the largest job so far needed, never more.
// Contents are left from earlier use: callers initialise what they read.
class ThreadArena {
 public:
  // The calling thread's arena of the given slot (0 or 1, for buffers shared
  // by a parallel region and those of its threads).
  static ThreadArena& Mine(int slot);

  // Starts handing out from the beginning, with room for `bytes` in total.
  // Earlier pointers from this arena become invalid.
  void Reset(std::size_t bytes);

  // Gives the memory back; the next Reset takes it anew.
  void Release();

  // For tests: the n-th Reset from now on, counted over all threads, throws
  // std::bad_alloc as a failed allocation would; 0 turns this off.
  static void FailNthReset(long n);

  // `count` elements of T, aligned to a cache line. The takes after a Reset
  // must fit in the bytes it was given; debug builds check each one, since a
  // take beyond them would hand out memory past the arena's end.
  template <typename T>
  T* Take(std::size_t count) {
    T* p = reinterpret_cast<T*>(data_.get() + used_);
    used_ += Bytes<T>(count);
    assert(used_ <= reserved_ && "ThreadArena: a take beyond the bytes given to Reset");
    return p;
  }

  // Bytes that Take<T>(count) uses up.
  template <typename T>
  static std::size_t Bytes(std::size_t count) {
    return (count * sizeof(T) + 63) & ~std::size_t{63};
  }

 private:
  struct Free {
    void operator()(std::byte* p) const;
  };
  std::unique_ptr<std::byte[], Free> data_;
  std::size_t capacity_ = 0;
  std::size_t reserved_ = 0;  // given to the last Reset
  std::size_t used_ = 0;
};

// Carries an exception out of a parallel region. A thread may not leave the
// region by an exception (the runtime would terminate the program), and it
// must still meet the others at every barrier, so each piece of a thread's
// work runs through Run, which catches what it throws; once one piece has
// failed the rest are skipped, and Rethrow after the region throws the first
// exception again. Results of a failed region are not to be used.
class RegionFailure {
 public:
  // True when the work ran to its end.
  template <typename Work>
  bool Run(Work&& work) noexcept {
    if (failed()) return false;
    try {
      work();
      return true;
    } catch (...) {
      Keep(std::current_exception());
      return false;
    }
  }

  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  void Rethrow() const;

 private:
  void Keep(std::exception_ptr error) noexcept;

  std::atomic<bool> failed_{false};
  std::exception_ptr error_;
};

// Rounds n up to a multiple of 16 floats (one cache line), so that rows of
// scratch buffers start on fresh lines.
inline int PaddedCount(int n) { return (n + 15) & ~15; }

}  // namespace tavrel::fast
