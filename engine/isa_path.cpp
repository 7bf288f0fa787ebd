#include "engine/isa_path.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "engine/fast_isa.h"

namespace tavrel {
namespace fast::isa_detail {

// Baseline until ActiveIsaPath or SelectIsaPath chooses, so that nothing can
// run code the processor lacks, not even before main.
constinit std::atomic<int> activePath{static_cast<int>(IsaPath::Baseline)};

}  // namespace fast::isa_detail

namespace {

constexpr IsaPath kAllPaths[] = {IsaPath::V4, IsaPath::V3, IsaPath::Baseline};

bool Runs(IsaPath path) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (path) {
#if defined(__clang__)
    // Clang (the fuzzing build) names single features only, not levels:
    // these are the ones each level adds that code for it may use.
    case IsaPath::V4:
      return Runs(IsaPath::V3) && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512cd") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    case IsaPath::V3:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
             __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
#else
    case IsaPath::V4:
      return __builtin_cpu_supports("x86-64-v4");
    case IsaPath::V3:
      return __builtin_cpu_supports("x86-64-v3");
#endif
    case IsaPath::Baseline:
      return true;
  }
  return false;
#else
  return path == IsaPath::Baseline;
#endif
}

std::string SupportedList() {
  std::string list;
  for (IsaPath path : AvailableIsaPaths()) {
    if (!list.empty()) list += ", ";
    list += IsaPathName(path);
  }
  return list;
}

std::mutex choosing;
bool chosen = false;  // by TAVREL_ISA, by default or by SelectIsaPath

}  // namespace

const char* IsaPathName(IsaPath path) {
  switch (path) {
    case IsaPath::V4:
      return "v4";
    case IsaPath::V3:
      return "v3";
    case IsaPath::Baseline:
      return "baseline";
  }
  return "?";
}

std::vector<IsaPath> AvailableIsaPaths() {
  std::vector<IsaPath> paths;
  for (IsaPath path : kAllPaths) {
    if (Runs(path)) paths.push_back(path);
  }
  return paths;
}

IsaPath ParseIsaPath(const std::string& name) {
  for (IsaPath path : kAllPaths) {
    if (name != IsaPathName(path)) continue;
    if (!Runs(path)) {
      throw IsaPathError("TAVREL_ISA=" + name + ": this processor cannot run that path" +
                         "\nsupported paths: " + SupportedList());
    }
    return path;
  }
  throw IsaPathError("TAVREL_ISA=" + name + ": no such instruction-set path" +
                     "\nsupported paths: " + SupportedList());
}

void SelectIsaPath(IsaPath path) {
  if (!Runs(path)) ParseIsaPath(IsaPathName(path));
  const std::lock_guard<std::mutex> lock(choosing);
  fast::isa_detail::activePath.store(static_cast<int>(path), std::memory_order_relaxed);
  chosen = true;
}

IsaPath ActiveIsaPath() {
  const std::lock_guard<std::mutex> lock(choosing);
  if (!chosen) {
    // A bad value throws and leaves the choice open, so every later call
    // reports it again rather than running on some other path.
    const char* value = std::getenv("TAVREL_ISA");
    const IsaPath path =
        value != nullptr && *value != '\0' ? ParseIsaPath(value) : AvailableIsaPaths().front();
    fast::isa_detail::activePath.store(static_cast<int>(path), std::memory_order_relaxed);
    chosen = true;
  }
  return static_cast<IsaPath>(fast::isa_detail::activePath.load(std::memory_order_relaxed));
}

}  // namespace tavrel
