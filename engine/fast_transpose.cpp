#include "engine/fast_transpose.h"

#if defined(__x86_64__)
#include "engine/avx_tiles.h"
#endif

#include "engine/fast_isa.h"

namespace tavrel::fast {
namespace {

void TransposeScalar(const float* src, std::ptrdiff_t srcStride, float* dst,
                     std::ptrdiff_t dstStride, int rows, int columns) {
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < columns; ++j) dst[j * dstStride + i] = src[i * srcStride + j];
  }
}

void TransposeMultiplyScalar(const float* src, std::ptrdiff_t srcStride, const float* factors,
                             float* dst, std::ptrdiff_t dstStride, int rows, int columns) {
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < columns; ++j) {
      dst[j * dstStride + i] = factors[j * dstStride + i] * src[i * srcStride + j];
    }
  }
}

#if defined(__x86_64__)

__attribute__((target("avx"))) void TransposeTile8(const float* src, std::ptrdiff_t srcStride,
                                                   float* dst, std::ptrdiff_t dstStride) {
  __m256 columns[8];
  LoadTransposed8(src, srcStride, columns);
  for (int k = 0; k < 8; ++k) _mm256_storeu_ps(dst + k * dstStride, columns[k]);
}

__attribute__((target("avx"))) void TransposeMultiplyTile8(const float* src,
                                                           std::ptrdiff_t srcStride,
                                                           const float* factors, float* dst,
                                                           std::ptrdiff_t dstStride) {
  __m256 columns[8];
  LoadTransposed8(src, srcStride, columns);
  for (int k = 0; k < 8; ++k) {
    const __m256 f = _mm256_loadu_ps(factors + k * dstStride);
    _mm256_storeu_ps(dst + k * dstStride, _mm256_mul_ps(f, columns[k]));
  }
}

// Tile origins 0, 8, 16, ... with the last one moved back to n - 8, so that
// every tile is whole; elements of an overlap are simply done twice (the
// results do not depend on it). Requires n >= 8.
inline int TileStart(int k, int n) { return k + 8 <= n ? k : n - 8; }

__attribute__((target("avx"))) void TransposeMultiplyAvx(const float* src, std::ptrdiff_t srcStride,
                                                         const float* factors, float* dst,
                                                         std::ptrdiff_t dstStride, int rows,
                                                         int columns) {
  for (int jj = 0; jj < columns; jj += 8) {
    const int j = TileStart(jj, columns);
    for (int ii = 0; ii < rows; ii += 8) {
      const int i = TileStart(ii, rows);
      TransposeMultiplyTile8(src + i * srcStride + j, srcStride, factors + j * dstStride + i,
                             dst + j * dstStride + i, dstStride);
    }
  }
}

__attribute__((target("avx"))) void TransposeAvx(const float* src, std::ptrdiff_t srcStride,
                                                 float* dst, std::ptrdiff_t dstStride, int rows,
                                                 int columns) {
  for (int ii = 0; ii < rows; ii += 8) {
    const int i = TileStart(ii, rows);
    for (int jj = 0; jj < columns; jj += 8) {
      const int j = TileStart(jj, columns);
      TransposeTile8(src + i * srcStride + j, srcStride, dst + j * dstStride + i, dstStride);
    }
  }
}

#endif

}  // namespace

void TransposeMultiply(const float* src, std::ptrdiff_t srcStride, const float* factors, float* dst,
                       std::ptrdiff_t dstStride, int rows, int columns) {
#if defined(__x86_64__)
  if (PathHasAvx() && rows >= 8 && columns >= 8) {
    TransposeMultiplyAvx(src, srcStride, factors, dst, dstStride, rows, columns);
    return;
  }
#endif
  TransposeMultiplyScalar(src, srcStride, factors, dst, dstStride, rows, columns);
}

void Transpose(const float* src, std::ptrdiff_t srcStride, float* dst, std::ptrdiff_t dstStride,
               int rows, int columns) {
#if defined(__x86_64__)
  if (PathHasAvx() && rows >= 8 && columns >= 8) {
    TransposeAvx(src, srcStride, dst, dstStride, rows, columns);
    return;
  }
#endif
  TransposeScalar(src, srcStride, dst, dstStride, rows, columns);
}

}  // namespace tavrel::fast
