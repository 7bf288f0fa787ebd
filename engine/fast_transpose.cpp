#include "engine/fast_transpose.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The transposes serve the paths without AVX2 (whose iteration rows move
// their pixels through 8 x 8 tiles of their own): 4 x 4 tiles in SSE
// registers, which every x86-64 processor has.

// Tile origins 0, 4, 8, ... with the last one moved back to n - 4, so that
// every tile is whole; elements of an overlap are simply done twice (the
// results do not depend on it). Requires n >= 4.
inline int TileStart(int k, int n) { return k + 4 <= n ? k : n - 4; }

inline void LoadTransposed4(const float* src, std::ptrdiff_t srcStride, __m128 out[4]) {
  for (int k = 0; k < 4; ++k) out[k] = _mm_loadu_ps(src + k * srcStride);
  _MM_TRANSPOSE4_PS(out[0], out[1], out[2], out[3]);
}

void TransposeSse(const float* src, std::ptrdiff_t srcStride, float* dst, std::ptrdiff_t dstStride,
                  int rows, int columns) {
  for (int ii = 0; ii < rows; ii += 4) {
    const int i = TileStart(ii, rows);
    for (int jj = 0; jj < columns; jj += 4) {
      const int j = TileStart(jj, columns);
      __m128 tile[4];
      LoadTransposed4(src + i * srcStride + j, srcStride, tile);
      for (int k = 0; k < 4; ++k) _mm_storeu_ps(dst + (j + k) * dstStride + i, tile[k]);
    }
  }
}

void TransposeMultiplySse(const float* src, std::ptrdiff_t srcStride, const float* factors,
                          float* dst, std::ptrdiff_t dstStride, int rows, int columns) {
  for (int jj = 0; jj < columns; jj += 4) {
    const int j = TileStart(jj, columns);
    for (int ii = 0; ii < rows; ii += 4) {
      const int i = TileStart(ii, rows);
      __m128 tile[4];
      LoadTransposed4(src + i * srcStride + j, srcStride, tile);
      for (int k = 0; k < 4; ++k) {
        const std::ptrdiff_t at = (j + k) * dstStride + i;
        _mm_storeu_ps(dst + at, _mm_mul_ps(_mm_loadu_ps(factors + at), tile[k]));
      }
    }
  }
}

#endif

}  // namespace

void TransposeMultiply(const float* src, std::ptrdiff_t srcStride, const float* factors, float* dst,
                       std::ptrdiff_t dstStride, int rows, int columns) {
#if defined(__x86_64__)
  if (rows >= 4 && columns >= 4) {
    TransposeMultiplySse(src, srcStride, factors, dst, dstStride, rows, columns);
    return;
  }
#endif
  TransposeMultiplyScalar(src, srcStride, factors, dst, dstStride, rows, columns);
}

void Transpose(const float* src, std::ptrdiff_t srcStride, float* dst, std::ptrdiff_t dstStride,
               int rows, int columns) {
#if defined(__x86_64__)
  if (rows >= 4 && columns >= 4) {
    TransposeSse(src, srcStride, dst, dstStride, rows, columns);
    return;
  }
#endif
  TransposeScalar(src, srcStride, dst, dstStride, rows, columns);
}

}  // namespace tavrel::fast
