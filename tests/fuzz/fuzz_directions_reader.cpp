// libFuzzer target: any directions-file text must read as entries or fail
// with a DirectionsError, never crash.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "files/directions_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  tavrel::DirectionsReader reader(in);
  tavrel::StereoJob job;
  try {
    while (reader.Next(job)) tavrel::CheckJobValues(job);
  } catch (const tavrel::DirectionsError&) {
  }
  return 0;
}
