#pragma once

#include <cstdint>

#include "engine/float_array.h"
#include "engine/stereo_params.h"

namespace tavrel {

// What decides a job's memory: the image, the disparity range, the band count,
// the windows whose rows the stages keep and the iterations a pass holds.
struct JobShape {
  std::int64_t rows = 0;
  std::int64_t columns = 0;
  std::int64_t disparities = 0;
  int bands = 1;
  int winRadL0 = 0;
  int winRadRC = 0;
  bool useSad = true;
  int iterations = 10;
  int winRadD = 1;
  // Both images hold whole intensities only (see WholeIntensities); false
  // where that is not known (the shapes made from images look for it only
  // for correlation), and the figures then cover either kind.
  bool wholeIntensities = false;
};

// Whether both images hold only whole intensities from -255 to 255, as every
// decoder's do: correlation then keeps one running sum per band where it
// would otherwise keep three.
bool WholeIntensities(const FloatArray& image0, const FloatArray& image1);

// The flag the job shapes carry: whether a job of this measure on these images
// is correlation of whole intensities. Only correlation keeps running sums
// whose layout depends on it, so SAD does not look.
bool CorrelationOfWholeIntensities(const FloatArray& image0, const FloatArray& image1, bool sad);

// The shape of a job with `params` on images of rows x columns x bands.
JobShape MemoryShapeOf(std::int64_t rows, std::int64_t columns, int bands,
                       const StereoParams& params);
// The same for these images, whose intensities are known.
JobShape MemoryShapeOf(const FloatArray& image0, const FloatArray& image1,
                       const StereoParams& params);

// Bytes a job holds at its peak when StereoMatcher's fast backend runs it on
// `threads` threads: the two volumes, the per-pixel grids (images, result
// and display maps), the rings of its largest pass over the rows and the
// extraction's scratch. In double, which no shape can overflow. For the
// path the job will take, chosen here (ActiveIsaPath) if nothing has yet.
double JobPeakBytes(const JobShape& shape, int threads);

// The same without the images: what the matcher itself takes.
double MatcherPeakBytes(const JobShape& shape, int threads);

// The threads the fast engine's stages use.
int EngineThreads();

}  // namespace tavrel
