#pragma once

#include <string>

namespace tavrel {

// The name of a file written beside the output file: its extension replaced by
// `suffix` ("scene.dis" and ".disparity.png" give "scene.disparity.png"). A
// name that would be the output file itself gets the suffix appended instead.
std::string BesideOutput(const std::string& outputFile, const std::string& suffix);

// What the file at `path` is, for telling whether two names lead to the same
// file: its device and inode when it exists (links followed, so hard and
// symbolic links of one file compare equal), otherwise its absolute path with
// links and "." and ".." resolved.
std::string FileIdentity(const std::string& path);

// The folder in which the file at `path` (links followed) is created.
std::string FolderOfTarget(const std::string& path);

}  // namespace tavrel
