#include "files/output_paths.h"

#include <sys/stat.h>

#include <filesystem>

#include "files/atomic_file.h"

namespace tavrel {

namespace fs = std::filesystem;

std::string BesideOutput(const std::string& outputFile, const std::string& suffix) {
  fs::path path(outputFile);
  if (path.has_extension()) path.replace_extension();
  std::string name = path.string() + suffix;
  if (name == outputFile) name = outputFile + suffix;
  return name;
}

std::string FileIdentity(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    return "inode " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  std::error_code error;
  const fs::path resolved = fs::weakly_canonical(fs::absolute(ResolveLinks(path), error), error);
  return "path " + (error ? fs::path(path).lexically_normal() : resolved).string();
}

std::string FolderOfTarget(const std::string& path) {
  const fs::path target(ResolveLinks(path));
  return target.has_parent_path() ? target.parent_path().string() : std::string(".");
}

}  // namespace tavrel
