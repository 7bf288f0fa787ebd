#pragma once

#include <string>

namespace tavrel {

// The usage text that Help writes as README.txt: the title line, a block about
// the project, then the keys of the window, the directions-file format with
// its parameters and an example, and the output-file format. Lines end in "\n".
std::string UsageText();

// Writes UsageText() to `fileName`, replacing any earlier file; false when the
// file cannot be created or fully written.
bool WriteReadme(const std::string& fileName = "README.txt");

}  // namespace tavrel
