#include "engine/fast_transpose.h"

#if defined(__x86_64__)
#include <immintrin.h>
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

// Loads an 8 x 8 tile and transposes it through eight registers: unpack
// pairs, shuffle quads, swap 128-bit halves. out[k] is column k of the tile.
__attribute__((target("avx"), always_inline)) inline void LoadTransposed8(const float* src,
                                                                          std::ptrdiff_t srcStride,
                                                                          __m256 out[8]) {
  __m256 r[8];
  for (int k = 0; k < 8; ++k) r[k] = _mm256_loadu_ps(src + k * srcStride);
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
  const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
  const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
  const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
  const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  out[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  out[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  out[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  out[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  out[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  out[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  out[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  out[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

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
