#pragma once

#include <cstdint>
#include <vector>

#include "engine/float_array.h"

namespace tavrel {

// Band 0 of the grid as the bytes of an 8-bit grey PNG file, each value turned
// into a byte exactly as the window shows it (DisplayByte). Empty for an empty
// grid or when the encoder fails; the caller writes the bytes where it wants.
std::vector<std::uint8_t> EncodeGreyPng(const FloatArray& map);

}  // namespace tavrel
