#include "files/memory_limit.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tavrel {
namespace {

namespace fs = std::filesystem;

std::optional<std::uint64_t> MemAvailable(const std::string& meminfo) {
  std::ifstream in(meminfo);
  std::string key;
  std::uint64_t kilobytes = 0;
  std::string unit;
  while (in >> key >> kilobytes >> unit) {
    if (key == "MemAvailable:") return kilobytes * 1024;
  }
  return std::nullopt;
}

// A number of bytes from a control file; none for "max" or anything else.
std::optional<std::uint64_t> ReadBytes(const fs::path& file) {
  std::ifstream in(file);
  std::uint64_t value = 0;
  if (!(in >> value)) return std::nullopt;
  return value;
}

// A value of the group's memory.stat; 0 when it is not there.
std::uint64_t ReadStat(const fs::path& file, const std::string& wanted) {
  std::ifstream in(file);
  std::string key;
  std::uint64_t value = 0;
  while (in >> key >> value) {
    if (key == wanted) return value;
  }
  return 0;
}

void Narrow(std::optional<std::uint64_t>& room, std::optional<std::uint64_t> limit,
            std::uint64_t used) {
  if (!limit) return;
  const std::uint64_t left = *limit > used ? *limit - used : 0;
  room = room ? std::min(*room, left) : left;
}

// The room under the limits of `group` and of each group above it, up to
// `mount`; a limit set on a parent binds its children as well.
// The usage counts the page cache, of which the inactive part is given back
// before the group runs short.
struct GroupFiles {
  const char* limit;
  const char* usage;
  const char* reclaimable;
};

void NarrowByGroups(std::optional<std::uint64_t>& room, const fs::path& mount,
                    const std::string& group, const GroupFiles& files) {
  fs::path relative = fs::path(group).relative_path().lexically_normal();
  for (;;) {
    const fs::path folder = mount / relative;
    const std::uint64_t usage = ReadBytes(folder / files.usage).value_or(0);
    const std::uint64_t cache = ReadStat(folder / "memory.stat", files.reclaimable);
    Narrow(room, ReadBytes(folder / files.limit), usage > cache ? usage - cache : 0);
    if (relative.empty() || relative == ".") return;
    relative = relative.parent_path();
  }
}

}  // namespace

std::optional<std::uint64_t> AvailableMemory(const MemorySources& sources) {
  std::optional<std::uint64_t> room = MemAvailable(sources.meminfo);
  // Lines "id:controllers:path"; the unified hierarchy is id 0 with no
  // controllers, the older one names "memory" among them.
  std::ifstream groups(sources.ownCgroups);
  std::string line;
  const fs::path root(sources.cgroupRoot);
  while (std::getline(groups, line)) {
    const auto first = line.find(':');
    const auto second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      NarrowByGroups(room, root, path, {"memory.max", "memory.current", "inactive_file"});
    } else {
      std::stringstream names(controllers);
      std::string name;
      while (std::getline(names, name, ',')) {
        if (name == "memory") {
          NarrowByGroups(room, root / "memory", path,
                         {"memory.limit_in_bytes", "memory.usage_in_bytes", "total_inactive_file"});
        }
      }
    }
  }
  return room;
}

}  // namespace tavrel
