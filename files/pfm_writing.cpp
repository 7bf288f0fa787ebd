#include "files/pfm_writing.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "files/atomic_file.h"
#include "imageio/pfm_file.h"

namespace tavrel {

bool WritePfm(const FloatArray& grid, int band, const std::string& fileName, std::string* reason) {
  try {
    return WriteWholeFile(fileName, EncodePfm(grid, band), reason);
  } catch (const std::bad_alloc&) {
    if (reason) *reason = std::strerror(ENOMEM);
    return false;
  }
}

}  // namespace tavrel
