#pragma once

#include <cstddef>

#include "engine/float_array.h"
#include "engine/streamed_stages.h"

// L0 into stored volumes with no iteration after it (ComputeL0 alone), the
// work shared among the threads wherever that leaves every value as one pass
// from the top makes it.
namespace tavrel::streamed {

// Makes L0 whole into `L0` and Ln = L0 cleared outside the interior. With
// exact running sums (whole intensities) each thread takes a band of rows
// and starts its sums afresh at its first row; correlation of other images
// gives each thread whole blocks of disparity indices from the top instead;
// SAD of other images, whose scaling reads every index of a pixel, runs on
// one thread.
void MakeInitialVolumes(const JobShape& shape, const FloatArray& image0, const FloatArray& image1,
                        FloatArray& L0, FloatArray& Ln, int threads);

// The heap MakeInitialVolumes holds at most: each thread's row maker.
std::size_t InitialVolumesBytes(const JobShape& shape, int threads);

}  // namespace tavrel::streamed
