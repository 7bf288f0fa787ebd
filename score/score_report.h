#pragma once

#include <string>

#include "evaluation/scorer.h"

namespace tavrel {

// Two lines for a reader: "N pixels:  bad 0.5 = x %  bad 1.0 = ..." (the line
// scripts have long parsed), then the error statistics and the coverage.
std::string ScoreText(const Score& score);

// One JSON object with the keys bad0.5, bad1, bad2, bad4, mae, rms, a50, a90,
// a95, a99, coverage (percentages and pixels as in Score; null where a figure
// has no value) and pixels, the evaluated-pixel count.
std::string ScoreJson(const Score& score);

}  // namespace tavrel
