#pragma once

#include <string>

#include "engine/stereo_matcher.h"

namespace tavrel {

// Writes the matcher's DispConf to `fileName` as text: a line "<columns> <rows>",
// then one line "<disparity> <confidence>" per pixel, rows top to bottom and
// columns left to right within a row, each value as C's "%f" formats it (six
// digits after a '.', whatever the process locale) and every line ended by a
// line feed. An existing file is replaced.
//
// Returns true when the whole file was written. Returns false, without
// throwing, when there is no DispConf, the file cannot be created, or a write
// or the close fails; a regular file that was only partly written is then
// removed, so that no truncated result is left behind.
bool WriteOutputFile(const StereoMatcher& matcher, const std::string& fileName);

}  // namespace tavrel
