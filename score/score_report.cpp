#include "score/score_report.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace tavrel {
namespace {

std::string Printed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string ScoreText(const Score& score) {
  std::string text = std::to_string(score.evaluatedPixels) + " pixels:";
  const std::pair<const char*, double> bad[] = {
      {"0.5", score.bad0_5}, {"1.0", score.bad1}, {"2.0", score.bad2}, {"4.0", score.bad4}};
  for (const auto& [threshold, share] : bad) {
    text += std::string("  bad ") + threshold + " = " + Printed("%.2f", share) + " %";
  }
  text += "\nmae = " + Printed("%.3f", score.mae) + "  rms = " + Printed("%.3f", score.rms);
  const std::pair<const char*, double> quantiles[] = {
      {"a50", score.a50}, {"a90", score.a90}, {"a95", score.a95}, {"a99", score.a99}};
  for (const auto& [name, value] : quantiles) {
    text += std::string("  ") + name + " = " + Printed("%.3f", value);
  }
  text += "  coverage = " + Printed("%.2f", score.coverage) + " %\n";
  return text;
}

std::string ScoreJson(const Score& score) {
  // nlohmann writes NaN as null, which is what a figure without a value is.
  const nlohmann::ordered_json figures = {
      {"bad0.5", score.bad0_5}, {"bad1", score.bad1},         {"bad2", score.bad2},
      {"bad4", score.bad4},     {"mae", score.mae},           {"rms", score.rms},
      {"a50", score.a50},       {"a90", score.a90},           {"a95", score.a95},
      {"a99", score.a99},       {"coverage", score.coverage}, {"pixels", score.evaluatedPixels}};
  return figures.dump(2) + "\n";
}

}  // namespace tavrel
