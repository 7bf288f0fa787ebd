// libFuzzer target: any bytes given to the image decoder must give a picture
// or a refusal with its reason, never a crash, a leak or an out-of-bounds access.

#include <cstddef>
#include <cstdint>

#include "imageio/image_loading.h"
#include "imageio/pixel_conversion.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tavrel::Surface surface;
  try {
    surface = tavrel::DecodeImage(data, size);
  } catch (const tavrel::ImageLoadError& error) {
    if (error.what()[0] == '\0') __builtin_trap();
    return 0;
  }
  if (surface.empty() ||
      surface.pixels.size() != static_cast<std::size_t>(surface.width) * surface.height * 4) {
    __builtin_trap();
  }
  tavrel::FloatArray grid(surface.width, surface.height, 3);
  tavrel::Surface2Array(surface, grid);
  return 0;
}
