#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// The instruction sets the fast engine has code for. Every path gives the
// same bits; they differ only in speed. The engine picks the best one the
// processor runs unless TAVREL_ISA names another (v4, v3 or baseline), so
// that one machine can measure and test every path below its own.
namespace tavrel {

enum class IsaPath {
  V4,        // x86-64-v4: AVX-512
  V3,        // x86-64-v3: AVX2 and FMA (the engine never contracts into FMA)
  Baseline,  // whatever the compiler targets by default (SSE2 on x86-64)
};

// A path that does not exist or that this processor cannot run. The message
// lists the supported ones.
class IsaPathError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The name TAVREL_ISA takes for a path: "v4", "v3" or "baseline".
const char* IsaPathName(IsaPath path);

// The paths this processor runs, fastest first; Baseline is always there.
std::vector<IsaPath> AvailableIsaPaths();

// The path a name stands for, if this processor runs it; throws
// IsaPathError otherwise.
IsaPath ParseIsaPath(const std::string& name);

// Makes `path` the one the fast stages use from now on; throws IsaPathError
// when the processor cannot run it. Call it between jobs, never while a
// stage runs.
void SelectIsaPath(IsaPath path);

// Reads TAVREL_ISA once (later calls return the path chosen then, or the one
// SelectIsaPath set since): the named path, or the fastest available when it
// is unset or empty. Throws IsaPathError for a bad value, so that programs
// calling it first at start report it as a usage error.
IsaPath ActiveIsaPath();

}  // namespace tavrel
