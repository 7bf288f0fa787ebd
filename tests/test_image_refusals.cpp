#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "imageio/grey_png.h"
#include "imageio/image_loading.h"
#include "imageio/image_source.h"
#include "tests/image_test_support.h"

// Allocation failure on demand: while `gFailAt` is positive, the allocation of
// at least kWatchedBytes that brings the count to it throws std::bad_alloc.
namespace {
constexpr std::size_t kWatchedBytes = 1024;
std::atomic<long> gFailAt{0};
std::atomic<long> gWatched{0};
}  // namespace

void* operator new(std::size_t size) {
  if (size >= kWatchedBytes && gFailAt.load() > 0 && ++gWatched == gFailAt.load()) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Kept out of line: freeing, inlined at a delete, would look to the compiler
// like a mismatch with the operator new it knows.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The library's own array and non-throwing forms would call the ones above,
// but a sanitizer's runtime takes their place: the decoders' allocations
// would then escape the count, and be paired with its delete, not this free.
void* operator new[](std::size_t size) { return ::operator new(size); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace tavrel {
namespace {

using namespace testing;
namespace fs = std::filesystem;

// The reason the loader gives for `bytes`, or "decoded" when it takes them.
std::string Reason(const Bytes& bytes) {
  try {
    DecodeImage(bytes.data(), bytes.size());
    return "decoded";
  } catch (const ImageLoadError& error) {
    return error.what();
  }
}

struct Refusal {
  std::string name;
  Bytes bytes;
  std::string reason;  // how the one-line reason starts
};

void ExpectRefusals(const std::vector<Refusal>& refusals) {
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.name);
    const std::string reason = Reason(r.bytes);
    EXPECT_EQ(reason.substr(0, r.reason.size()), r.reason) << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
  }
}

Bytes Patched(Bytes bytes, std::size_t at, std::initializer_list<std::uint8_t> values) {
  for (std::uint8_t v : values) bytes[at++] = v;
  return bytes;
}

TEST(BmpRefusals, SayWhichFieldOrPartIsWrong) {
  const Bytes good = Direct(24, false);
  Bytes rleCut = RunLength(8);
  rleCut.resize(rleCut.size() - 12);
  ExpectRefusals({
      {"header cut short", Bytes(good.begin(), good.begin() + 30), "truncated: the BMP header"},
      {"header only", Bytes(good.begin(), good.begin() + 54), "bad header field: pixel offset"},
      {"pixels cut short", Bytes(good.begin(), good.end() - 8), "truncated: the pixel data"},
      {"run length cut short", rleCut, "truncated: the run-length data"},
      {"width 2^31-1", Patched(good, 18, {0xFF, 0xFF, 0xFF, 0x7F}), "too large: 2147483647 x 3"},
      {"width 0", Patched(good, 18, {0, 0, 0, 0}), "bad header field: width 0"},
      {"two planes", Patched(good, 26, {2}), "bad header field: planes 2"},
      {"header size 20", Patched(good, 14, {20}), "bad header field: header size 20"},
      {"pixels inside the header", Patched(good, 10, {20}), "bad header field: pixel offset 20"},
      {"top-down run length", Patched(RunLength(8), 22, {0xFF, 0xFF, 0xFF, 0xFF}),
       "bad header field: negative height"},
      {"2 bits per pixel", Patched(good, 28, {2}), "unsupported format: BMP with 2 bits"},
      {"JPEG inside", Patched(good, 30, {4}), "unsupported format: BMP compression 4"},
      {"zero green mask", Direct(16, false, {0xF800, 0, 0x001F}),
       "bad header field: green bit mask is zero"},
      {"all masks zero", Direct(32, false, {0, 0, 0}), "bad header field: red bit mask is zero"},
  });
}

TEST(BmpRefusals, IndexBeyondAShortColourTable) {
  const Bytes pixels = {0, 7, 1, 0};  // one row of 3 pixels, padded
  const Bytes bmp = MakeBmp({8, 0, false, {}, {{1, 2, 3}, {4, 5, 6}}}, pixels, 3, 1);
  EXPECT_EQ(Reason(bmp), "bad colour index 7: the colour table has 2 entries");
  // Run-length pixels are looked up the same way.
  const Bytes rle = MakeBmp({8, 1, false, {}, {{1, 2, 3}}}, {2, 0, 1, 3, 0, 1}, 3, 1);
  EXPECT_EQ(Reason(rle), "bad colour index 3: the colour table has 1 entries");
  const Bytes noTable = MakeBmp({8, 0, false, {}, {}}, pixels, 3, 1);
  EXPECT_EQ(Reason(noTable), "bad header field: no colour table");
}

TEST(PnmRefusals, SayWhichFieldOrPartIsWrong) {
  auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  ExpectRefusals({
      {"samples cut short", text("P5 3 1 255 \x01\x02"), "truncated: the pixel data"},
      {"header cut short", text("P6 3 1"), "truncated: the header ends before the maximum value"},
      {"width 0", text("P5 0 1 255 \x01"), "bad header field: width is 0"},
      {"height not a number", text("P5 3 x 255 \x01"), "bad header field: height is not a number"},
      {"maximum above 65535", text("P5 1 1 65536 \x01"), "bad header field: maximum value above"},
      {"width overflows an int", text("P5 99999999999 1 255 "), "bad header field: width above"},
      {"16384 x 16384", text("P5 16384 16384 255 "), "too large: 16384 x 16384 pixels"},
      {"comment of 70000 bytes", text("P5 #" + std::string(70000, 'c')),
       "bad header field: header longer than 64 KiB"},
  });
}

TEST(PngRefusals, ChecksumsAndChunksAreChecked) {
  const Bytes good = TinyGreyPng();
  ASSERT_EQ(Reason(good), "decoded");
  Bytes badCrc = good;
  badCrc[8 + 8 + 13 + 3] ^= 1;  // the IHDR chunk's CRC
  Bytes badData = good;
  badData[8 + 25 + 8 + 8] ^= 0xFF;   // a sample inside IDAT, its CRC left as it was
  Bytes wrongIdat = PngSignature();  // a sound CRC over data that is not a zlib stream
  PutChunk(wrongIdat, "IHDR", GreyIhdr(2, 1));
  PutChunk(wrongIdat, "IDAT", {1, 2, 3, 4});
  PutChunk(wrongIdat, "IEND", {});
  Bytes huge = PngSignature();
  PutChunk(huge, "IHDR", GreyIhdr(8193, 8192));
  Bytes notIhdr = PngSignature();
  PutChunk(notIhdr, "tEXt", {'a', 0, 'b'});
  PutChunk(notIhdr, "IEND", {});
  Bytes noEnd(good.begin(), good.end() - 12);
  ExpectRefusals({
      {"bad IHDR checksum", badCrc, "bad checksum: chunk IHDR at byte 8"},
      {"bad IDAT checksum", badData, "bad checksum: chunk IDAT at byte 33"},
      {"corrupt zlib stream", wrongIdat, "corrupt PNG data"},
      {"8193 x 8192", huge, "too large: 8193 x 8192 pixels, more than the limit of 67108864"},
      {"first chunk not IHDR", notIhdr, "bad header field: the first chunk is not"},
      {"no IEND", noEnd, "truncated: the PNG chunk header"},
      {"signature only", PngSignature(), "truncated: the PNG header"},
      {"width 0", Patched(good, 16, {0, 0, 0, 0}), "bad header field: width 0"},
  });
}

TEST(ImageRefusals, FilesThatAreNoImagesSayWhy) {
  ImageDir dir;
  ExpectRefusals({
      {"empty", {}, "truncated: the file is empty"},
      {"text", {'h', 'e', 'l', 'l', 'o'}, "unsupported format: not a BMP, PNG"},
      {"JPEG", {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F'}, "unsupported format"},
  });
  auto loadReason = [](const std::string& path) -> std::string {
    try {
      LoadImageGrid(path, 3);
      return "decoded";
    } catch (const ImageLoadError& error) {
      return error.what();
    }
  };
  EXPECT_EQ(loadReason(dir / "missing.bmp"), "cannot open: No such file or directory");
  EXPECT_EQ(loadReason(dir.path.string()), "not a regular file");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(loadReason(dir / "fifo"), "not a regular file");  // at once, with no writer
  EXPECT_THROW(LoadImageGrid(dir.File("good.bmp", Direct(24, false)), 0), std::invalid_argument);
}

// A file of `size` bytes whose bytes past `readable` cannot be read: a small
// picture at its start. Records the furthest byte read.
class GuardedTail : public ImageSource {
 public:
  GuardedTail(Bytes readable, std::uint64_t size) : readable_(std::move(readable)), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  void Read(std::uint64_t offset, std::size_t count, std::uint8_t* into) override {
    furthest = std::max<std::uint64_t>(furthest, offset + count);
    if (offset + count > readable_.size()) throw ImageLoadError("read past the picture");
    std::copy(readable_.begin() + offset, readable_.begin() + offset + count, into);
  }
  std::uint64_t furthest = 0;

 private:
  Bytes readable_;
  std::uint64_t size_;
};

// Headers are read in windows of a few hundred bytes; past the picture, only
// such a window may be touched.
constexpr std::uint64_t kHeaderWindow = 512;

TEST(BoundedReading, AGigabyteFileHoldingATinyPictureIsReadOnlyAsFarAsThePicture) {
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  const Bytes pgm = {'P', '5', ' ', '2', ' ', '1', ' ', '2', '5', '5', ' ', 7, 9};
  for (const auto& [name, bytes] :
       std::vector<std::pair<std::string, Bytes>>{{"BMP", Direct(24, false)},
                                                  {"run-length BMP", RunLength(4)},
                                                  {"PGM", pgm},
                                                  {"PNG", TinyGreyPng()}}) {
    SCOPED_TRACE(name);
    Bytes readable = bytes;
    readable.resize(bytes.size() + kHeaderWindow, 0);
    GuardedTail source(readable, kGiB);
    EXPECT_NO_THROW(DecodeImage(source));
    EXPECT_LE(source.furthest, std::max<std::uint64_t>(bytes.size(), kHeaderWindow));
  }
}

TEST(BoundedReading, LongBodiesAreRefusedBeforeTheyAreRead) {
  // A PNG chunk claiming a gigabyte after a 2 x 1 header.
  Bytes png = PngSignature();
  PutChunk(png, "IHDR", GreyIhdr(2, 1));
  PutBigEndian32(png, 0x40000000);
  png.insert(png.end(), {'z', 'T', 'X', 't'});
  GuardedTail pngSource(png, std::uint64_t{1} << 31);
  try {
    DecodeImage(pngSource);
    ADD_FAILURE() << "decoded";
  } catch (const ImageLoadError& error) {
    EXPECT_EQ(std::string(error.what()).substr(0, 26), "too large: chunk zTXt at b");
  }
  EXPECT_EQ(pngSource.furthest, png.size());

  // A run-length stream that only moves in place, for far longer than a
  // 5 x 3 picture can need, read no further than that need.
  Bytes stream;
  for (int i = 0; i < 1000; ++i) stream.insert(stream.end(), {0, 2, 0, 0});
  Bytes rle = MakeBmp({8, 1, false, {}, kPalette}, stream);
  const std::uint64_t pixelOffset = rle.size() - stream.size();
  GuardedTail rleSource(rle, rle.size());
  try {
    DecodeImage(rleSource);
    ADD_FAILURE() << "decoded";
  } catch (const ImageLoadError& error) {
    EXPECT_EQ(std::string(error.what()).substr(0, 36), "too large: the run-length data goes ");
  }
  EXPECT_LE(rleSource.furthest,
            std::max<std::uint64_t>(pixelOffset + 4 * 5 * 3 + 4 * 3 + 2, kHeaderWindow));
}

TEST(AllocationFailure, DuringDecodingBecomesARefusal) {
  // 64 x 48 pictures, so that the surface, the pixel bytes, the grid and the
  // PNG decoder's buffers are all watched allocations.
  constexpr int w = 64, h = 48;
  ImageDir dir;
  FloatArray levels(w, h, 1);
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < w; ++c) levels.At(r, c, 0) = static_cast<float>((r * 7 + c * 3) % 256);
  }
  const std::string png = dir / "p.png";
  const Bytes encoded = EncodeGreyPng(levels);
  ASSERT_FALSE(encoded.empty());
  dir.File("p.png", encoded);
  Bytes pgm = {'P', '5', ' ', '6', '4', ' ', '4', '8', ' ', '2', '5', '5', ' '};
  pgm.resize(pgm.size() + w * h, 40);
  Bytes stream;
  for (int r = 0; r < h; ++r) stream.insert(stream.end(), {64, 3, 0, 0});
  stream.insert(stream.end(), {0, 1});
  WriteGreyBmp(dir / "p.bmp", w, h, [](int r, int c) { return r + c; });
  const std::vector<std::string> files = {
      png, dir / "p.bmp", dir.File("p.pgm", pgm),
      dir.File("rle.bmp", MakeBmp({8, 1, false, {}, kPalette}, stream, w, h))};
  for (const auto& file : files) {
    SCOPED_TRACE(file);
    ASSERT_NO_THROW(LoadImageGrid(file, 3));
    // Fail the first watched allocation, then the second, and so on, until
    // loading gets through.
    bool loaded = false;
    int refusals = 0;
    for (long k = 1; !loaded && k < 100; ++k) {
      gWatched = 0;
      gFailAt = k;
      try {
        loaded = LoadImageGrid(file, 3) != nullptr;
      } catch (const ImageLoadError& error) {
        gFailAt = 0;
        EXPECT_EQ(std::string(error.what()).substr(0, 11), "too large: ") << error.what();
        ++refusals;
      }
      gFailAt = 0;
    }
    EXPECT_TRUE(loaded);
    EXPECT_GE(refusals, 2);
  }
}

TEST(ImageRefusals, InputsFoundByFuzzingAreRefusedOrDecodedSafely) {
  const fs::path folder = fs::path(TAVREL_SOURCE_DIR) / "tests/fuzz/regressions/image_decoding";
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().string());
    try {
      const Surface surface = LoadImageSurface(entry.path().string());
      EXPECT_EQ(surface.pixels.size(), std::size_t{4} * surface.width * surface.height);
    } catch (const ImageLoadError& error) {
      EXPECT_NE(std::string(error.what()), "");
    }
    ++checked;
  }
  EXPECT_GT(checked, 0);
  // A JPEG whose Huffman table overflows (JPEG is refused), a PGM header whose
  // width overflows an int, a PNG chunk claiming 2 GB in a file of 100 bytes.
  for (const char* name : {"jpeg-huffman-table-overflow", "pnm-header-number-overflow",
                           "png-chunk-longer-than-file"}) {
    EXPECT_THROW(LoadImageSurface((folder / name).string()), ImageLoadError) << name;
  }
}

}  // namespace
}  // namespace tavrel
