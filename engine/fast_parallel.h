#pragma once

// Helpers shared by the fast stages. No intrinsics here: the arithmetic
// kernels are plain loops that the compiler vectorises, each compiled for
// several instruction sets and picked at run time. Without -ffast-math and
// with contraction off, a vectorised loop performs exactly the scalar loop's
// roundings, lane by lane.
#define TAVREL_VECTOR_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))

namespace tavrel::fast {

// Rounds n up to a multiple of 16 floats (one cache line), so that rows of
// scratch buffers start on fresh lines.
inline int PaddedCount(int n) { return (n + 15) & ~15; }

}  // namespace tavrel::fast
