#pragma once

#include "engine/fast_correlation_values.h"
#include "engine/fast_sad_values.h"
#include "engine/float_array.h"
#include "engine/streamed_stages.h"

// What the row makers of L0 take from a streamed job: its geometry and the
// inputs of either measure, with the checks of the images that choose their
// exact short cuts.
namespace tavrel::streamed {

fast::Geometry GeometryOf(const JobShape& s);

// The row makers divide by the band count and by the disparity count in
// float, which is exact only for counts that float holds; larger ones are
// refused (std::invalid_argument).
void RequireExactCounts(const JobShape& s);

fast::SadInputs SadInputsOf(const JobShape& s, const FloatArray& image0, const FloatArray& image1);

// Images of whole intensities give moments whose box means run exactly in
// float.
fast::CorrelationInputs CorrelationInputsOf(const JobShape& s, const FloatArray& image0,
                                            const FloatArray& image1);

// Whether the shape's images are known to give such moments.
bool MomentsInFloat(const JobShape& s);

}  // namespace tavrel::streamed
