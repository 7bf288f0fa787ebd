#pragma once

#include <cstddef>

namespace tavrel::bench {

// Bytes currently allocated through operator new, and the most held at once
// since the last ResetHeapPeak (which sets the peak to the current level).
std::size_t HeapInUse();
std::size_t HeapPeak();
void ResetHeapPeak();

}  // namespace tavrel::bench
