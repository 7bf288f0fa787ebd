#pragma once

#include <cstddef>

#include "engine/float_array.h"
#include "engine/stereo_matcher.h"

// A whole job as one pass over the rows of the image, without a match
// volume: L0's rows are made as the first iteration needs them, each
// iteration follows the one before a few rows behind, and the extraction
// hands each finished row of disparities and confidences to a sink. Every
// stored value goes through the same operations as in the straightforward
// engine, so the results are the same to the bit, for any thread count.
namespace tavrel {

// Receives the rows of the result, top to bottom: `dispConf` holds the
// row's columns x 2 floats (disparity, confidence), valid during the call.
class DispConfSink {
 public:
  virtual ~DispConfSink() = default;
  virtual void Row(int row, const float* dispConf) = 0;
};

// A sink that gathers the whole map, for writers that need it at once
// (a PFM file is written bottom row first).
class DispConfPlane : public DispConfSink {
 public:
  explicit DispConfPlane(FloatArray& dispConf) : dispConf_(dispConf) {}
  void Row(int row, const float* dispConf) override;

 private:
  FloatArray& dispConf_;
};

// The functions below run a job on `threads` threads (0: as many as OpenMP
// offers); any count gives the same bits.

// Runs the job on the images and hands every row to `sink`. Throws
// std::invalid_argument for inputs ValidateJob refuses, std::bad_alloc when
// the rings cannot be had. `progress` hears InitialMatchValues once, then
// Iteration i of N as the pass is i / N of the way down the image, then
// Extraction.
void RunStreamed(const FloatArray& image0, const FloatArray& image1, const StereoParams& params,
                 int threads, DispConfSink& sink, const JobProgress& progress = {});

// The heap RunStreamed holds at its peak for images of this size and band
// count: the rings, column sums and row scratch of every stage (not the
// images, nor what the sink keeps). In double, exact up to 2^53 bytes;
// infinity for rows that no address space could hold. The figures here are
// for the path the job will take: they choose it (ActiveIsaPath) if nothing
// has yet, and throw its IsaPathError for a bad TAVREL_ISA.
double StreamedPeakBytes(int rows, int columns, int bands, const StereoParams& params, int threads);
// The same for these images. Correlation of whole intensities (every
// decoder's) keeps fewer running sums; the figure above covers either kind.
double StreamedPeakBytes(const FloatArray& image0, const FloatArray& image1,
                         const StereoParams& params, int threads);

// The heap the volume engine holds for the same job: L0 and Ln.
double VolumePeakBytes(int rows, int columns, const StereoParams& params);

// Whether RunMatcherJob runs the job as the streamed pass: unless
// StereoMatcher with its volumes and passes would take less, as it does
// where the rings would outgrow the volumes (many iterations) or on images
// of few rows.
bool JobRunsStreamed(int rows, int columns, int bands, const StereoParams& params, int threads);
bool JobRunsStreamed(const FloatArray& image0, const FloatArray& image1, const StereoParams& params,
                     int threads);

// What a job run by RunMatcherJob takes: the streamed pass or StereoMatcher,
// whichever takes less, with the result maps either leaves in the matcher.
double JobPeakBytes(int rows, int columns, int bands, const StereoParams& params, int threads);
double JobPeakBytes(const FloatArray& image0, const FloatArray& image1, const StereoParams& params,
                    int threads);

// StereoMatcher::Run's job for a caller that needs only the results: on
// return the matcher holds DispConf, DisplayMap (to be filled, see
// display/result_maps.h), the sizes and
// IterationCount as Run leaves them, but no match volumes (L0 and Ln null,
// L0Ready 0) unless the volume engine ran the job. Refusals and failures as
// for Run.
void RunMatcherJob(StereoMatcher& matcher, const FloatArray& image0, const FloatArray& image1,
                   const StereoParams& params, int threads, const JobProgress& progress = {});

}  // namespace tavrel
