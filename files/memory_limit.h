#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavrel {

// Where the memory a process may still take is read from; the defaults are
// the system's own files, tests point them at folders of their own.
struct MemorySources {
  std::string meminfo = "/proc/meminfo";
  std::string ownCgroups = "/proc/self/cgroup";
  std::string cgroupRoot = "/sys/fs/cgroup";
};

// Bytes the process can still have: the smaller of the kernel's MemAvailable
// and the room left under the memory limit of its control group and of every
// group above it (memory.max less memory.current in the unified hierarchy,
// memory.limit_in_bytes less memory.usage_in_bytes in the older one; the
// inactive page cache counted in the usage is taken as free, since the
// kernel gives it back before the group runs short). None
// when nothing can be read. Linux overcommits, so a job too large would
// otherwise only fail when its pages are first touched, or be killed.
std::optional<std::uint64_t> AvailableMemory(const MemorySources& sources = {});

}  // namespace tavrel
