// libFuzzer target: a whole batch run on tiny images. The input is the
// directions file; whatever it holds, the run must end in its results or in
// a reported failure, never crash, and never touch a file outside its folder.

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "files/batch_run.h"
#include "files/directions_reader.h"
#include "imageio/image_loading.h"
#include "tests/batch_test_support.h"

namespace {

namespace fs = std::filesystem;

// A 24-bit BMP with a texture, width x height: grey, or with green apart.
void WriteBmp(const fs::path& file, int width, int height, int shift, bool colour) {
  tavrel::testing::WriteBmp24(file.string(), width, height, [=](int r, int c) {
    const auto v = static_cast<std::uint8_t>(
        (static_cast<unsigned>(c + shift) * 2654435761u ^ static_cast<unsigned>(r) * 40503u) >> 13);
    return std::array<std::uint8_t, 3>{v, static_cast<std::uint8_t>(colour ? v ^ 85 : v), v};
  });
}

// The folder the runs work in, with images a.bmp, b.bmp (a shifted), c.bmp
// (in colour) and s.bmp (smaller).
const fs::path& Folder() {
  static const fs::path folder = [] {
    std::string pattern = (fs::temp_directory_path() / "tavrel-fuzz-XXXXXX").string();
    const fs::path made = mkdtemp(pattern.data());
    WriteBmp(made / "a.bmp", 24, 20, 0, false);
    WriteBmp(made / "b.bmp", 24, 20, 3, false);
    WriteBmp(made / "c.bmp", 24, 20, 3, true);
    WriteBmp(made / "s.bmp", 12, 10, 0, false);
    return made;
  }();
  return folder;
}

struct QuietHost : tavrel::BatchHost {
  std::unique_ptr<tavrel::FloatArray> LoadImage(int, const std::string& path, int bands) override {
    return tavrel::LoadImageGrid(path, bands);
  }
  void FatalError(const std::string&) override {}
};

// Only inputs whose jobs stay small and whose names stay in the folder.
bool Harmless(const std::string& text) {
  if (text.find('/') != std::string::npos || text.find("..") != std::string::npos) return false;
  std::istringstream in(text);
  tavrel::DirectionsReader reader(in);
  tavrel::StereoJob job;
  int entries = 0;
  try {
    while (reader.Next(job)) {
      const long long disparities =
          static_cast<long long>(job.Params.MaxDisparity) - job.Params.MinDisparity;
      if (++entries > 4 || disparities > 48 || job.Params.NumIterations > 3) return false;
    }
  } catch (const tavrel::DirectionsError&) {
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!Harmless(text)) return 0;
  const fs::path directions = Folder() / "in.cpd";
  std::ofstream(directions, std::ios::binary) << text;
  tavrel::StereoMatcher matcher;
  tavrel::EntryImages images;
  QuietHost host;
  tavrel::ProcessDirectionsFile(directions.string(), matcher, images, host,
                                {".pfm", ".disparity.png"});
  // The images must still be there for the next input.
  for (const char* image : {"a.bmp", "b.bmp", "c.bmp", "s.bmp"}) {
    if (fs::file_size(Folder() / image) < 54) abort();
  }
  return 0;
}
