#pragma once

#include <atomic>
#include <utility>

#include "engine/isa_path.h"

// How the fast stages run one kernel on the chosen instruction set.
//
// A kernel is a plain loop that the compiler vectorises, marked
// TAVREL_KERNEL. It is never called directly but through
// OnIsaPath<Kernel>(arguments...), which holds one copy of it per path, each
// compiled for that path's instruction set (the kernel is inlined into a
// wrapper with the path's target), and calls the one ActiveIsaPath chose.
// Without -ffast-math and with contraction off, a vectorised loop performs
// exactly the scalar loop's roundings, lane by lane, on every path.
#define TAVREL_KERNEL [[gnu::always_inline]] inline

namespace tavrel::fast {
namespace isa_detail {

// The chosen path as an index (IsaPath's order); always valid, so that a
// kernel never has to ask.
extern std::atomic<int> activePath;

#if defined(__x86_64__)
#define TAVREL_ISA_V4 __attribute__((target("arch=x86-64-v4")))
#define TAVREL_ISA_V3 __attribute__((target("arch=x86-64-v3")))
#else
#define TAVREL_ISA_V4
#define TAVREL_ISA_V3
#endif

template <auto Kernel, typename... A>
TAVREL_ISA_V4 decltype(auto) OnV4(A&&... a) {
  return Kernel(std::forward<A>(a)...);
}
template <auto Kernel, typename... A>
TAVREL_ISA_V3 decltype(auto) OnV3(A&&... a) {
  return Kernel(std::forward<A>(a)...);
}
template <auto Kernel, typename... A>
decltype(auto) OnBaseline(A&&... a) {
  return Kernel(std::forward<A>(a)...);
}

}  // namespace isa_detail

template <auto Kernel, typename... A>
decltype(auto) OnIsaPath(A&&... a) {
  using Variant = decltype(&isa_detail::OnBaseline<Kernel, A...>);
  static constexpr Variant variants[] = {&isa_detail::OnV4<Kernel, A...>,
                                         &isa_detail::OnV3<Kernel, A...>,
                                         &isa_detail::OnBaseline<Kernel, A...>};
  return variants[isa_detail::activePath.load(std::memory_order_relaxed)](std::forward<A>(a)...);
}

// Whether the chosen path has 256-bit AVX registers.
inline bool PathHasAvx() {
#if defined(__x86_64__)
  return isa_detail::activePath.load(std::memory_order_relaxed) !=
         static_cast<int>(IsaPath::Baseline);
#else
  return false;
#endif
}

}  // namespace tavrel::fast
