// tavrel-score: compares a disparity map with a ground truth and prints the
// share of wrong pixels and the error statistics (see evaluation/scorer.h).

#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <string>

#include "evaluation/scorer.h"
#include "score/score_report.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFatal = 1;

struct Arguments {
  std::string result;
  std::string groundTruth;
  std::string mask;
  bool json = false;
  tavrel::ScoreParameters parameters;
};

int Fail(const std::string& message) {
  std::cerr << "tavrel-score: " << message << "\n";
  return kFatal;
}

// A result in the ground truth's sign scored without --same-sign (or the other
// way round) is almost wholly wrong; the figures stay as asked, with a note.
bool LooksLikeTheOtherSign(const tavrel::Score& score, const tavrel::FloatArray& result,
                           const tavrel::FloatArray& groundTruth, const tavrel::FloatArray* mask,
                           tavrel::ScoreParameters parameters) {
  if (!(score.bad4 > 90.0)) return false;
  parameters.sameSign = !parameters.sameSign;
  return tavrel::ScoreDisparity(result, groundTruth, mask, parameters).bad4 < 50.0;
}

void DescribeOptions(CLI::App& app, Arguments& arguments) {
  app.add_option("RESULT", arguments.result,
                 "the program's output file (.dis) or a PFM disparity map")
      ->required();
  app.add_option("GROUND_TRUTH", arguments.groundTruth,
                 "the true disparities as PFM; pixels that are not finite are unknown")
      ->required();
  app.add_option("--mask", arguments.mask,
                 "a PGM or PNG picture: only pixels that hold the "
                 "mask value are evaluated");
  app.add_option("--mask-value", arguments.parameters.maskValue,
                 "the mask's grey level of evaluated pixels (the benchmarks' masks: 255 "
                 "evaluated, 128 occluded, 0 unknown)")
      ->check(CLI::Range(0, 255))
      ->capture_default_str();
  app.add_flag("--same-sign", arguments.parameters.sameSign,
               "the result and the ground truth share one sign (by default the ground truth is "
               "in the benchmarks' positive sign and the result in the program's own, so each "
               "estimate d is compared as -d)");
  app.add_option("--border", arguments.parameters.border,
                 "leave out the pixels within N of the image's edges")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("--json", arguments.json, "print the figures as one JSON object");
  app.set_version_flag("-V,--version", "tavrel-score " TAVREL_VERSION);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Compares a disparity map with a ground truth: the share of pixels whose error "
      "exceeds 0.5, 1, 2 and 4 pixels, the mean absolute and RMS error, the 50, 90, "
      "95 and 99 % error quantiles and the coverage.",
      "tavrel-score");
  Arguments arguments;
  DescribeOptions(app, arguments);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForVersion& version) {
    return app.exit(version);
  } catch (const CLI::ParseError& error) {
    std::cerr << "tavrel-score: " << error.what() << "\n"
              << "Try 'tavrel-score --help' for more information.\n";
    return kFatal;
  }

  try {
    const auto result = tavrel::LoadDisparityMap(arguments.result);
    const auto groundTruth = tavrel::LoadGroundTruth(arguments.groundTruth);
    const auto mask = arguments.mask.empty() ? nullptr : tavrel::LoadMask(arguments.mask);
    const tavrel::Score score =
        tavrel::ScoreDisparity(*result, *groundTruth, mask.get(), arguments.parameters);
    if (score.evaluatedPixels == 0) return Fail("no pixel to compare");
    if (LooksLikeTheOtherSign(score, *result, *groundTruth, mask.get(), arguments.parameters)) {
      std::cerr << "tavrel-score: nearly every pixel is wrong, and far fewer would be with"
                << (arguments.parameters.sameSign ? "out" : "") << " --same-sign\n";
    }
    std::cout << (arguments.json ? tavrel::ScoreJson(score) : tavrel::ScoreText(score));
  } catch (const std::exception& error) {
    return Fail(error.what());
  }
  return kSuccess;
}
