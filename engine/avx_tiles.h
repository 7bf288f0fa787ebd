#pragma once

// 8 x 8 tiles of floats moved through AVX registers, for the kernels that
// turn pixel-major rows into vectors of pixels and back.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstddef>

namespace tavrel::fast {

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

}  // namespace tavrel::fast

#endif
