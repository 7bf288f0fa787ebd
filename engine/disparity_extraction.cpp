#include "engine/reference_engine.h"
#include "engine/stage_arithmetic.h"

namespace tavrel::reference {

Peak PeakAt(const float* values, int d) {
  const float prev = values[d - 1];
  const float cur = values[d];
  const float next = values[d + 1];
  Peak peak;
  peak.confidence = static_cast<double>(next) + cur + prev;
  if (prev < next) {
    const double rise = static_cast<double>(cur) - prev;
    peak.offset = rise == 0.0 ? d : d + 0.5 * (static_cast<double>(next) - prev) / rise;
  } else {
    const double fall = static_cast<double>(cur) - next;
    peak.offset = fall == 0.0 ? d : d - 0.5 * (static_cast<double>(prev) - next) / fall;
  }
  return peak;
}

void StorePeak(StageGrids& grids, int row, int column, const Peak& peak) {
  FloatArray& dispConf = *grids.DispConf;
  dispConf.At(row, column, 0) = static_cast<float>(grids.MinDisparity + peak.offset);
  dispConf.At(row, column, 1) = static_cast<float>(peak.confidence);
}

namespace {

// The strongest local maximum among indices 1 .. count - 2 of one pixel's
// match values (a value >= both neighbours, strictly above every earlier
// accepted one, so the lowest index wins a tie and nothing at or below -1.0
// is taken); offset and confidence stay 0 when no index is accepted.
Peak FindPeak(const float* values, int count) {
  Peak peak;
  float best = -1.0f;
  for (int d = 1; d <= count - 2; ++d) {
    const float prev = values[d - 1];
    const float cur = values[d];
    const float next = values[d + 1];
    if (!(cur > best && cur >= prev && cur >= next)) continue;
    best = cur;
    peak = PeakAt(values, d);
  }
  return peak;
}

}  // namespace

// DispConf(r, c) = (MinDisparity + peak offset, peak confidence) for every
// pixel of the row, margins included, columns ascending.
void ExtractDispConfRow(StageGrids& grids, int row) {
  const FloatArray& Ln = *grids.Ln;
  for (int c = 0; c < grids.Columns; ++c) {
    const Peak peak = grids.NumDisparities > 0
                          ? FindPeak(Ln.data() + Ln.Index(row, c, 0), grids.NumDisparities)
                          : Peak{};
    StorePeak(grids, row, c, peak);
  }
}

void ExtractDispConf(StageGrids& grids) {
  for (int r = 0; r < grids.Rows; ++r) ExtractDispConfRow(grids, r);
}

}  // namespace tavrel::reference
