#pragma once

#include <string>

#include "engine/float_array.h"

namespace tavrel {

// Writes band 0 of the grid as an 8-bit grey PNG, each value turned into a
// byte exactly as the window shows it (DisplayByte). False when the file
// cannot be created or fully written.
bool WriteGreyPng(const FloatArray& map, const std::string& fileName);

}  // namespace tavrel
