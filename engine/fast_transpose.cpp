#include "engine/fast_transpose.h"

#include <immintrin.h>

namespace tavrel::fast {
namespace {

void TransposeScalar(const float* src, std::ptrdiff_t srcStride, float* dst,
                     std::ptrdiff_t dstStride, int rows, int columns) {
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < columns; ++j) dst[j * dstStride + i] = src[i * srcStride + j];
  }
}

// One 8 x 8 tile through eight registers: unpack pairs, shuffle quads, swap
// 128-bit halves.
__attribute__((target("avx"))) void TransposeTile8(const float* src, std::ptrdiff_t srcStride,
                                                   float* dst, std::ptrdiff_t dstStride) {
  __m256 r0 = _mm256_loadu_ps(src + 0 * srcStride);
  __m256 r1 = _mm256_loadu_ps(src + 1 * srcStride);
  __m256 r2 = _mm256_loadu_ps(src + 2 * srcStride);
  __m256 r3 = _mm256_loadu_ps(src + 3 * srcStride);
  __m256 r4 = _mm256_loadu_ps(src + 4 * srcStride);
  __m256 r5 = _mm256_loadu_ps(src + 5 * srcStride);
  __m256 r6 = _mm256_loadu_ps(src + 6 * srcStride);
  __m256 r7 = _mm256_loadu_ps(src + 7 * srcStride);
  __m256 t0 = _mm256_unpacklo_ps(r0, r1);
  __m256 t1 = _mm256_unpackhi_ps(r0, r1);
  __m256 t2 = _mm256_unpacklo_ps(r2, r3);
  __m256 t3 = _mm256_unpackhi_ps(r2, r3);
  __m256 t4 = _mm256_unpacklo_ps(r4, r5);
  __m256 t5 = _mm256_unpackhi_ps(r4, r5);
  __m256 t6 = _mm256_unpacklo_ps(r6, r7);
  __m256 t7 = _mm256_unpackhi_ps(r6, r7);
  __m256 s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  _mm256_storeu_ps(dst + 0 * dstStride, _mm256_permute2f128_ps(s0, s4, 0x20));
  _mm256_storeu_ps(dst + 1 * dstStride, _mm256_permute2f128_ps(s1, s5, 0x20));
  _mm256_storeu_ps(dst + 2 * dstStride, _mm256_permute2f128_ps(s2, s6, 0x20));
  _mm256_storeu_ps(dst + 3 * dstStride, _mm256_permute2f128_ps(s3, s7, 0x20));
  _mm256_storeu_ps(dst + 4 * dstStride, _mm256_permute2f128_ps(s0, s4, 0x31));
  _mm256_storeu_ps(dst + 5 * dstStride, _mm256_permute2f128_ps(s1, s5, 0x31));
  _mm256_storeu_ps(dst + 6 * dstStride, _mm256_permute2f128_ps(s2, s6, 0x31));
  _mm256_storeu_ps(dst + 7 * dstStride, _mm256_permute2f128_ps(s3, s7, 0x31));
}

void TransposeMultiplyScalar(const float* src, std::ptrdiff_t srcStride, const float* factors,
                             float* dst, std::ptrdiff_t dstStride, int rows, int columns) {
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < columns; ++j) {
      dst[j * dstStride + i] = factors[j * dstStride + i] * src[i * srcStride + j];
    }
  }
}

__attribute__((target("avx"))) inline void MultiplyStore(const float* factors, float* dst,
                                                         std::ptrdiff_t stride, int k, __m256 v) {
  _mm256_storeu_ps(dst + k * stride, _mm256_mul_ps(_mm256_loadu_ps(factors + k * stride), v));
}

__attribute__((target("avx"))) void TransposeMultiplyTile8(const float* src,
                                                           std::ptrdiff_t srcStride,
                                                           const float* factors, float* dst,
                                                           std::ptrdiff_t dstStride) {
  __m256 r0 = _mm256_loadu_ps(src + 0 * srcStride);
  __m256 r1 = _mm256_loadu_ps(src + 1 * srcStride);
  __m256 r2 = _mm256_loadu_ps(src + 2 * srcStride);
  __m256 r3 = _mm256_loadu_ps(src + 3 * srcStride);
  __m256 r4 = _mm256_loadu_ps(src + 4 * srcStride);
  __m256 r5 = _mm256_loadu_ps(src + 5 * srcStride);
  __m256 r6 = _mm256_loadu_ps(src + 6 * srcStride);
  __m256 r7 = _mm256_loadu_ps(src + 7 * srcStride);
  __m256 t0 = _mm256_unpacklo_ps(r0, r1);
  __m256 t1 = _mm256_unpackhi_ps(r0, r1);
  __m256 t2 = _mm256_unpacklo_ps(r2, r3);
  __m256 t3 = _mm256_unpackhi_ps(r2, r3);
  __m256 t4 = _mm256_unpacklo_ps(r4, r5);
  __m256 t5 = _mm256_unpackhi_ps(r4, r5);
  __m256 t6 = _mm256_unpacklo_ps(r6, r7);
  __m256 t7 = _mm256_unpackhi_ps(r6, r7);
  __m256 s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  MultiplyStore(factors, dst, dstStride, 0, _mm256_permute2f128_ps(s0, s4, 0x20));
  MultiplyStore(factors, dst, dstStride, 1, _mm256_permute2f128_ps(s1, s5, 0x20));
  MultiplyStore(factors, dst, dstStride, 2, _mm256_permute2f128_ps(s2, s6, 0x20));
  MultiplyStore(factors, dst, dstStride, 3, _mm256_permute2f128_ps(s3, s7, 0x20));
  MultiplyStore(factors, dst, dstStride, 4, _mm256_permute2f128_ps(s0, s4, 0x31));
  MultiplyStore(factors, dst, dstStride, 5, _mm256_permute2f128_ps(s1, s5, 0x31));
  MultiplyStore(factors, dst, dstStride, 6, _mm256_permute2f128_ps(s2, s6, 0x31));
  MultiplyStore(factors, dst, dstStride, 7, _mm256_permute2f128_ps(s3, s7, 0x31));
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

bool HasAvx() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
  }();
  return has;
}

}  // namespace

void TransposeMultiply(const float* src, std::ptrdiff_t srcStride, const float* factors, float* dst,
                       std::ptrdiff_t dstStride, int rows, int columns) {
  if (HasAvx() && rows >= 8 && columns >= 8) {
    TransposeMultiplyAvx(src, srcStride, factors, dst, dstStride, rows, columns);
  } else {
    TransposeMultiplyScalar(src, srcStride, factors, dst, dstStride, rows, columns);
  }
}

void Transpose(const float* src, std::ptrdiff_t srcStride, float* dst, std::ptrdiff_t dstStride,
               int rows, int columns) {
  if (HasAvx() && rows >= 8 && columns >= 8) {
    TransposeAvx(src, srcStride, dst, dstStride, rows, columns);
  } else {
    TransposeScalar(src, srcStride, dst, dstStride, rows, columns);
  }
}

}  // namespace tavrel::fast
