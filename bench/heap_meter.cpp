#include "bench/heap_meter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

// The program's operator new and delete count the bytes they hand out, so
// that the bench can report the peak heap of one stage. Every allocation of
// the engine (grids, scratch vectors) goes through them.
namespace tavrel::bench {
namespace {

std::atomic<std::size_t> inUse{0};
std::atomic<std::size_t> peak{0};

void* Allocate(std::size_t size, std::size_t alignment) {
  if (size == 0) size = 1;
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(size);
  } else if (posix_memalign(&p, alignment, size) != 0) {
    p = nullptr;
  }
  if (!p) throw std::bad_alloc();
  const std::size_t now = inUse.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  std::size_t seen = peak.load();
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
  return p;
}

void Release(void* p) {
  if (!p) return;
  inUse.fetch_sub(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

std::size_t HeapInUse() { return inUse.load(); }
std::size_t HeapPeak() { return peak.load(); }
void ResetHeapPeak() { peak.store(inUse.load()); }

}  // namespace tavrel::bench

void* operator new(std::size_t size) { return tavrel::bench::Allocate(size, 0); }
void* operator new[](std::size_t size) { return tavrel::bench::Allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) {
  return tavrel::bench::Allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return tavrel::bench::Allocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { tavrel::bench::Release(p); }
void operator delete[](void* p) noexcept { tavrel::bench::Release(p); }
void operator delete(void* p, std::size_t) noexcept { tavrel::bench::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { tavrel::bench::Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { tavrel::bench::Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { tavrel::bench::Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { tavrel::bench::Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  tavrel::bench::Release(p);
}
