#pragma once

#include <string>

#include "engine/stereo_params.h"

namespace tavrel {

// One entry of a directions file: the two images, their band count, what the
// engine is to do with them and where the result goes.
struct StereoJob {
  std::string Image0Name;
  std::string Image1Name;
  int NumBands = 0;
  StereoParams Params;
  std::string OutputFileName;
};

}  // namespace tavrel
