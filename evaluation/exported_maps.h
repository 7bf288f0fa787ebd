#pragma once

#include <memory>

#include "engine/float_array.h"

namespace tavrel {

// The disparity (band 0 of a DispConf grid) in the benchmarks' sign: -d at
// every pixel of the interior, +inf in the frame of kPixelMargin pixels around
// it, where the program has no estimate. One band, the grid's size.
std::unique_ptr<FloatArray> BenchmarkSignDisparity(const FloatArray& dispConf);

}  // namespace tavrel
