#pragma once

#include <memory>
#include <string>

#include "engine/float_array.h"

namespace tavrel {

// One band of the grid as a grey PFM file: the header "Pf", the width and
// height, the scale -1 (little endian), then 32-bit floats with the bottom
// row first.
std::string EncodePfm(const FloatArray& grid, int band);

// Reads a grey PFM file (either byte order) into a one-band grid with row 0 at
// the top; null when the file cannot be read or is not a grey PFM.
std::unique_ptr<FloatArray> ReadPfm(const std::string& fileName);

}  // namespace tavrel
