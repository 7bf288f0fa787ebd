#include "bench/heap_meter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

// The program's operator new and delete count the bytes they hand out, so
// that the bench can report the peak heap of one stage. Every allocation of
// the engine (grids, scratch vectors) goes through them.
namespace tavrel::bench {
namespace {

std::atomic<std::size_t> inUse{0};
std::atomic<std::size_t> peak{0};

void Count(std::size_t bytes) {
  const std::size_t now = inUse.fetch_add(bytes) + bytes;
  std::size_t seen = peak.load();
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
}

void* Allocate(std::size_t size) {
  if (size == 0) size = 1;
  void* p = std::malloc(size);
  if (!p) throw std::bad_alloc();
  Count(malloc_usable_size(p));
  return p;
}

void Release(void* p) {
  if (!p) return;
  inUse.fetch_sub(malloc_usable_size(p));
  std::free(p);
}

// An over-aligned block counts the bytes asked for: the allocator's slack
// to reach a large alignment (up to a whole alignment past the block) is
// address space that is never touched. The size waits in the alignment's
// worth of bytes before the block.
void* AllocateAligned(std::size_t size, std::size_t alignment) {
  if (alignment <= alignof(std::max_align_t)) return Allocate(size);
  if (size == 0) size = 1;
  void* raw = nullptr;
  if (posix_memalign(&raw, alignment, size + alignment) != 0) throw std::bad_alloc();
  char* p = static_cast<char*>(raw) + alignment;
  std::memcpy(p - sizeof(std::size_t), &size, sizeof size);
  Count(size);
  return p;
}

void ReleaseAligned(void* p, std::size_t alignment) {
  if (alignment <= alignof(std::max_align_t)) return Release(p);
  if (!p) return;
  std::size_t size = 0;
  std::memcpy(&size, static_cast<char*>(p) - sizeof(std::size_t), sizeof size);
  inUse.fetch_sub(size);
  std::free(static_cast<char*>(p) - alignment);
}

}  // namespace

std::size_t HeapInUse() { return inUse.load(); }
std::size_t HeapPeak() { return peak.load(); }
void ResetHeapPeak() { peak.store(inUse.load()); }

}  // namespace tavrel::bench

void* operator new(std::size_t size) { return tavrel::bench::Allocate(size); }
void* operator new[](std::size_t size) { return tavrel::bench::Allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) {
  return tavrel::bench::AllocateAligned(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return tavrel::bench::AllocateAligned(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { tavrel::bench::Release(p); }
void operator delete[](void* p) noexcept { tavrel::bench::Release(p); }
void operator delete(void* p, std::size_t) noexcept { tavrel::bench::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { tavrel::bench::Release(p); }
void operator delete(void* p, std::align_val_t a) noexcept {
  tavrel::bench::ReleaseAligned(p, static_cast<std::size_t>(a));
}
void operator delete[](void* p, std::align_val_t a) noexcept {
  tavrel::bench::ReleaseAligned(p, static_cast<std::size_t>(a));
}
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept {
  tavrel::bench::ReleaseAligned(p, static_cast<std::size_t>(a));
}
void operator delete[](void* p, std::size_t, std::align_val_t a) noexcept {
  tavrel::bench::ReleaseAligned(p, static_cast<std::size_t>(a));
}
