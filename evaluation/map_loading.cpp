// The loaders of evaluation/scorer.h: disparity maps, ground truths and masks.

#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

#include "evaluation/scorer.h"
#include "imageio/image_loading.h"
#include "imageio/pfm_file.h"

namespace tavrel {
namespace {

// The first two bytes tell a PFM ("Pf" grey, "PF" colour) from a text file.
std::string Signature(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  char bytes[2] = {0, 0};
  in.read(bytes, 2);
  return std::string(bytes, static_cast<std::size_t>(in.gcount()));
}

bool IsPfm(const std::string& signature) { return signature == "Pf" || signature == "PF"; }

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("cannot read " + path);
  return bytes;
}

// A PFM that ReadPfm accepts, or an error that names what is wrong with it.
std::unique_ptr<FloatArray> ReadGreyPfm(const std::string& path, const std::string& signature) {
  if (signature == "PF") {
    throw std::runtime_error(path + " is a colour PFM; a disparity map has one channel (Pf)");
  }
  auto grid = ReadPfm(path);
  if (!grid) throw std::runtime_error(path + " is not a complete grey PFM file");
  return grid;
}

// Splits the text into white-space separated words, one at a time.
class Words {
 public:
  explicit Words(std::string_view text) : text_(text) {}

  bool Next(std::string_view& word) {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    if (pos_ == text_.size()) return false;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    word = text_.substr(start, pos_ - start);
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

template <typename T>
bool ParseWhole(std::string_view word, T& value) {
  const char* end = word.data() + word.size();
  const auto [stop, error] = std::from_chars(word.data(), end, value);
  return error == std::errc() && stop == end;
}

// The output file's "columns rows" line, then "disparity confidence" per
// pixel, rows from the top. "nan" and "inf" are read as such: they mean no
// estimate.
std::unique_ptr<FloatArray> ParseOutputFile(const std::string& path, const std::string& text) {
  Words words(text);
  std::string_view word;
  long long columns = 0, rows = 0;
  if (!words.Next(word) || !ParseWhole(word, columns) || !words.Next(word) ||
      !ParseWhole(word, rows) || columns <= 0 || rows <= 0) {
    throw std::runtime_error(path + " does not start with the map's size (columns rows)");
  }
  if (static_cast<unsigned long long>(columns) * static_cast<unsigned long long>(rows) >
      kMaxImagePixels) {
    throw std::runtime_error(path + " claims an implausible size of " + std::to_string(columns) +
                             " x " + std::to_string(rows));
  }
  auto grid = std::make_unique<FloatArray>(static_cast<int>(columns), static_cast<int>(rows), 1);
  for (int r = 0; r < grid->rows(); ++r) {
    for (int c = 0; c < grid->columns(); ++c) {
      float disparity = 0.0f, confidence = 0.0f;
      if (!words.Next(word) || !ParseWhole(word, disparity) || !words.Next(word) ||
          !ParseWhole(word, confidence)) {
        throw std::runtime_error(path + ": pixel (" + std::to_string(r) + ", " + std::to_string(c) +
                                 ") has no disparity and confidence");
      }
      grid->At(r, c, 0) = disparity;
    }
  }
  if (words.Next(word)) {
    throw std::runtime_error(path + " holds more values than its " + std::to_string(columns) +
                             " x " + std::to_string(rows) + " pixels");
  }
  return grid;
}

}  // namespace

std::unique_ptr<FloatArray> LoadDisparityMap(const std::string& path) {
  const std::string signature = Signature(path);
  if (IsPfm(signature)) return ReadGreyPfm(path, signature);
  return ParseOutputFile(path, ReadWholeFile(path));
}

std::unique_ptr<FloatArray> LoadGroundTruth(const std::string& path) {
  const std::string signature = Signature(path);
  if (!IsPfm(signature)) throw std::runtime_error(path + " is not a PFM file");
  return ReadGreyPfm(path, signature);
}

std::unique_ptr<FloatArray> LoadMask(const std::string& path) {
  try {
    return LoadImageGrid(path, 1);
  } catch (const ImageLoadError& error) {
    throw std::runtime_error("cannot read the mask " + path + ": " + error.what());
  }
}

}  // namespace tavrel
