#pragma once

#include <string>

#include "engine/float_array.h"

namespace tavrel {

// Writes EncodePfm(grid, band) to `fileName` through AtomicFile. False, with
// the reason in `reason` when given, when it cannot be written.
bool WritePfm(const FloatArray& grid, int band, const std::string& fileName,
              std::string* reason = nullptr);

}  // namespace tavrel
