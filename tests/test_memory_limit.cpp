// The memory a job is refused for: the estimate of its peak against the heap
// it really takes, and the room that the kernel and the control groups leave.

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>

#include "batch_test_support.h"
#include "display/result_maps.h"
#include "engine/job_memory.h"
#include "engine_test_support.h"
#include "files/memory_limit.h"

namespace {

// This program's operator new counts the bytes in use and their peak.
std::atomic<std::size_t> inUse{0};
std::atomic<std::size_t> peak{0};

void* Allocate(std::size_t size, std::size_t alignment) {
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(size ? size : 1);
  } else if (posix_memalign(&p, alignment, size ? size : 1) != 0) {
    p = nullptr;
  }
  if (!p) throw std::bad_alloc();
  const std::size_t now = inUse += malloc_usable_size(p);
  std::size_t seen = peak.load();
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
  return p;
}

void Release(void* p) {
  if (!p) return;
  inUse -= malloc_usable_size(p);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size, 0); }
void* operator new[](std::size_t size) { return Allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) {
  return Allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return Allocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::WriteText;

// The estimate must not fall below what a job takes (the refusal would let
// through a job that cannot run), nor lie far above it (it would refuse jobs
// that fit). These jobs are small, so the threads' scratch weighs more in
// them than in real ones, where the volumes make nearly all of it.
TEST(JobMemory, TheEstimateCoversThePeakHeapOfAJob) {
  struct Case {
    int columns, rows, disparities, bands, winRadL0, winRadRC, useSad;
  };
  const Case cases[] = {{160, 120, 96, 1, 1, 2, 1},
                        {160, 120, 96, 3, 1, 2, 1},
                        {160, 120, 96, 3, 1, 2, 0},
                        {96, 200, 160, 1, 3, 5, 0},
                        {200, 60, 200, 3, 4, 1, 1}};
  std::mt19937 rng(7);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.columns << "x" << c.rows << "x" << c.disparities
                                      << " bands " << c.bands << " SAD " << c.useSad);
    const auto pair = testing::ShiftedPair(c.columns, c.rows, c.bands, 5, rng);
    const StereoParams params = testing::ParamsOf(-c.disparities / 2, c.disparities / 2, c.winRadL0,
                                                  c.winRadRC, 1, 2, 0.96f, c.useSad);
    const std::size_t before = inUse.load() - 2 * pair.image0.size() * sizeof(float);
    peak.store(inUse.load());
    {
      StereoMatcher matcher;
      matcher.Run(pair.image0, pair.image1, params);
      DisparityToDisplay(matcher);
    }
    const double measured = static_cast<double>(peak.load() - before);
    const double estimate =
        JobPeakBytes(MemoryShapeOf(pair.image0, pair.image1, params), EngineThreads());
    // Correlation of whole intensities (these) keeps fewer running sums than
    // the figure for the sizes alone allows for.
    const double sizesOnly =
        JobPeakBytes(MemoryShapeOf(c.rows, c.columns, c.bands, params), EngineThreads());
    if (c.useSad) {
      EXPECT_EQ(estimate, sizesOnly);
    } else {
      EXPECT_LT(estimate, sizesOnly);
    }
    EXPECT_GE(estimate, measured);
    EXPECT_LE(estimate, 1.25 * measured);
  }
}

struct MemoryRoom : ::testing::Test {
  MemorySources Sources(const std::string& groups) {
    WriteText(dir / "meminfo", "MemTotal: 64000000 kB\nMemAvailable: 8000000 kB\n");
    WriteText(dir / "cgroup", groups);
    return MemorySources{dir / "meminfo", dir / "cgroup", dir / "sys"};
  }
  void Group(const std::string& folder, const std::string& file, const std::string& value) {
    fs::create_directories(dir.path / "sys" / folder);
    WriteText((dir.path / "sys" / folder / file).string(), value + "\n");
  }
  TempDir dir;
};

TEST_F(MemoryRoom, TheKernelsFigureStandsWithoutALimit) {
  EXPECT_EQ(AvailableMemory(Sources("0::/job\n")), 8000000ull * 1024);
  Group("job", "memory.max", "max");
  EXPECT_EQ(AvailableMemory(Sources("0::/job\n")), 8000000ull * 1024);
  EXPECT_EQ(AvailableMemory({dir / "absent", dir / "absent", dir / "absent"}), std::nullopt);
}

TEST_F(MemoryRoom, TheUnifiedHierarchyLimitsAndItsParentsToo) {
  Group("user/job", "memory.max", "3000000000");
  Group("user/job", "memory.current", "1000000000");
  Group("user/job", "memory.stat", "anon 800000000\ninactive_file 200000000\n");
  EXPECT_EQ(AvailableMemory(Sources("0::/user/job\n")), 2200000000ull);
  Group("user", "memory.max", "1500000000");
  Group("user", "memory.current", "1000000000");
  EXPECT_EQ(AvailableMemory(Sources("0::/user/job\n")), 500000000ull);
  Group("user", "memory.current", "2000000000");
  EXPECT_EQ(AvailableMemory(Sources("0::/user/job\n")), 0ull);
}

TEST_F(MemoryRoom, TheOlderHierarchyIsReadFromItsMemoryController) {
  Group("memory/batch", "memory.limit_in_bytes", "4000000000");
  Group("memory/batch", "memory.usage_in_bytes", "1500000000");
  Group("memory/batch", "memory.stat", "cache 9\ntotal_inactive_file 500000000\n");
  EXPECT_EQ(AvailableMemory(Sources("5:cpu,cpuacct:/other\n4:memory:/batch\n0::/\n")),
            3000000000ull);
  // A group the process cannot see under the mount: the limits above it hold.
  Group("memory", "memory.limit_in_bytes", "1000000000");
  Group("memory", "memory.usage_in_bytes", "0");
  EXPECT_EQ(AvailableMemory(Sources("4:memory:/not/mounted\n")), 1000000000ull);
}

}  // namespace
}  // namespace tavrel
