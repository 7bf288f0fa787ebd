#pragma once

#include <string>

namespace tavrel {

// The usage text that Help writes as README.txt: the title line, a block about
// the project, then the keys of the window, the directions-file format with
// its parameters and an example, and the output-file format. Lines end in "\n".
std::string UsageText();

// Writes UsageText() to `fileName` through AtomicFile, replacing any earlier
// file; false, with the reason in `reason` when given, when it cannot be
// written.
bool WriteReadme(const std::string& fileName = "README.txt", std::string* reason = nullptr);

}  // namespace tavrel
