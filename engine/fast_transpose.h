#pragma once

#include <cstddef>

namespace tavrel::fast {

// dst[j * dstStride + i] = src[i * srcStride + j] for i < rows, j < columns.
// Pure data movement (no arithmetic), in 4 x 4 tiles with the vector unit
// on x86-64. The two blocks must not overlap.
void Transpose(const float* src, std::ptrdiff_t srcStride, float* dst, std::ptrdiff_t dstStride,
               int rows, int columns);

// dst[j * dstStride + i] = factors[j * dstStride + i] * src[i * srcStride + j]
// for i < rows, j < columns: a transpose fused with a float product per
// element (one IEEE multiplication, the same in any lane).
void TransposeMultiply(const float* src, std::ptrdiff_t srcStride, const float* factors, float* dst,
                       std::ptrdiff_t dstStride, int rows, int columns);

}  // namespace tavrel::fast
