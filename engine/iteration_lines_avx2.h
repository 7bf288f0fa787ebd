#pragma once

#include <cstddef>
#include <vector>

#include "engine/streamed_stages.h"

// The second half of an interior row of an iteration on paths with AVX2:
// from the row's box sums to the row made.
//
// Eight pixels ride in the lanes of a vector. Tiles of 8 x 8 floats are
// transposed in registers, the sums along the indices run in double down
// the tiles (two groups of eight pixels at once, four chains of additions
// in flight), and the supports go back to pixel-major order. There the
// image-1 line sums, the normalisation and the product with L0 read and
// write whole vectors of consecutive indices, with no transpose.
//
// Each lane performs the scalar sequence of roundings of the straightforward
// iteration: the sums along the indices in double, one subtraction and one
// addition per step; every line sum a float addition per term in the same
// order; S / T, the square and the product with L0 single float operations,
// which equal the double operation rounded to float.
namespace tavrel::streamed {

class AvxLines {
 public:
  // Whether the chosen instruction-set path has AVX2.
  static bool Available();

  // Scratch for a row of this shape, `pieces` threads sharing its columns.
  AvxLines(const JobShape& shape, int pieces);

  // The heap that AvxLines(shape, pieces) holds.
  static std::size_t Bytes(const JobShape& shape, int pieces);

  // Floats the row of box sums must hold beyond columns x disparities: the
  // last group of pixels reads whole tiles, some past the interior.
  static std::size_t BoxPadding(const JobShape& shape);

  // Interior columns are shared among threads in groups of this many.
  static constexpr int kGroup = 16;

  // The supports and the image-0 line sums of the interior columns
  // [begin, end), begin a multiple of kGroup, from the row's box sums.
  void Supports(const float* box, int begin, int end, int piece);

  // The image-1 line sums of piece `piece` of `pieces` of the image-1
  // interior columns, after every Supports of the row. Within a sum the
  // terms come in ascending image-0 column, as in the straightforward order.
  void ImageOneSums(int piece, int pieces);

  // The image-1 line sums pixel by pixel, on one thread: StartImageOne
  // before the row's first AddToImageOne, then AddToImageOne for each run of
  // pixels after their Supports, in ascending order. A pixel's sums are
  // whole, and it may be normalised, once the nd pixels after it have added
  // theirs (ImageOneLag).
  void StartImageOne();
  void AddToImageOne(int begin, int end);
  int ImageOneLag() const { return nd_; }

  // The interior cells of the interior columns [begin, end) of out: S
  // normalised by the two line sums, clamped, squared, times L0's row; and
  // 0 in those columns' border indices, written with the pixel rather than
  // in a sweep of its own over the whole row, whose lines would have left
  // the cache again before the pixel is made.
  void Normalise(const float* l0, float* out, int begin, int end) const;

 private:
  struct Piece {
    std::vector<double> wide;   // a group's values as doubles, index-major
    std::vector<float> narrow;  // its supports, index-major, zero past nd
  };

  void SupportsOfGroup(const float* box, int first, int real, Piece& piece);
  void AddToImageOne(int begin, int end, std::ptrdiff_t lo, std::ptrdiff_t hi);

  // Piece `piece` of `pieces` of the image-1 interior columns, as indices
  // [lo, hi) of imageOne_ on vector bounds.
  struct ImageOneSpan {
    std::ptrdiff_t lo = 0;
    std::ptrdiff_t hi = 0;
  };
  ImageOneSpan ImageOnePiece(int piece, int pieces) const;

  // Where pixel cc's line of sight starts in imageOne_.
  std::ptrdiff_t LineStart(int cc) const;

  JobShape shape_;
  int nc_ = 0;                    // interior columns
  int nd_ = 0;                    // interior indices
  int wd_ = 0;                    // radius of the sums along the indices
  int low_ = 0;                   // first index those sums read
  int count_ = 0;                 // indices they read
  int tiles_ = 0;                 // tiles of 8 indices covering count_
  int ndTiles_ = 0;               // tiles of 8 indices covering nd_
  int stride_ = 0;                // floats per pixel of supports_: 8 zeros, nd_ supports, zeros
  int padLow_ = 0;                // imageOne_ index of the first interior image-1 column
  std::vector<float> supports_;   // nc_ pixels of stride_ floats
  std::vector<float> imageZero_;  // nc_ rounded up to kGroup
  std::vector<float> imageOne_;   // by image-1 column, zero outside the interior
  std::vector<float> zeros_;      // a line of sight that meets no interior column
  std::vector<Piece> pieces_;
};

}  // namespace tavrel::streamed
