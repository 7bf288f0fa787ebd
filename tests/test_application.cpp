#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/ground_truth.h"
#include "app/match_profile.h"
#include "app/pixel_readout.h"
#include "app/view_transform.h"
#include "app/window_batch_host.h"
#include "display/colour_maps.h"
#include "display/error_picture.h"
#include "display/slice_pictures.h"
#include "files/pfm_writing.h"
#include "imageio/image_loading.h"
#include "imageio/pixel_conversion.h"
#include "tests/app_test_support.h"
#include "tests/engine_test_support.h"

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using namespace tavrel::test_support;

struct Presentation {
  Surface picture;
  std::optional<std::string> caption;
};

class RecordingPresenter : public Presenter {
 public:
  void Present(const Surface& picture, const std::string* caption) override {
    presentations.push_back({picture, caption ? std::optional(*caption) : std::nullopt});
  }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void Close() override { ++close_requests; }
  void ShowStatus(const std::string& text) override { status = text; }
  void MarkRow(int row) override { marked_row = row; }
  void ShowColourScale(const std::optional<ColourScale>& scale) override { colour_scale = scale; }

  std::optional<ColourScale> colour_scale;
  std::string status;
  int marked_row = -1;
  std::vector<Presentation> presentations;
  std::vector<std::string> messages;
  int close_requests = 0;
};

class RecordingMonitor : public RunMonitor {
 public:
  void ShowPicture(const Surface& picture, const std::string& caption) override {
    pictures.push_back({picture, caption});
  }
  void ShowProgress(const BatchProgress& progress) override {
    if (progress.stage == BatchStage::Iteration) ++iterations_reported;
    // The window's cancel comes from another thread at any time; here it comes
    // once a few iterations of an entry have been reported.
    if (cancel_after_iterations > 0 && iterations_reported >= cancel_after_iterations) {
      cancel = true;
    }
  }

  std::vector<Presentation> pictures;
  int iterations_reported = 0;
  int cancel_after_iterations = 0;
  std::atomic<bool> cancel{false};
};

std::uint8_t BlueAt(const Surface& picture, int row, int column) {
  return picture.Pixel(row, column)[0];
}

constexpr int kColumns = 40;
constexpr int kRows = 30;

class ApplicationTest : public ::testing::Test {
 protected:
  // What a directions file with one entry leaves behind: images, a matcher
  // run with NumIterations, the disparity map rendered and its caption pending.
  void LoadEntry(int num_iterations) {
    state.ImageArrays.image0 = ShiftedTexture(kColumns, kRows, 0);
    state.ImageArrays.image1 = ShiftedTexture(kColumns, kRows, -3);
    state.ImageSurfaces = {Surface(kColumns, kRows), Surface(kColumns, kRows)};
    state.DisplayWidth = kColumns;
    state.DisplayHeight = kRows;
    StereoMatcher& matcher = state.Matcher;
    matcher.Release();
    matcher.Image0Name = "left%d.bmp";
    matcher.Image1Name = "right.bmp";
    matcher.OutputFileName = "scene.dis";
    matcher.Run(*state.ImageArrays.image0, *state.ImageArrays.image1,
                testing::ParamsOf(0, 12, 1, 2, 1, num_iterations, 0.96f, 1));
    RecordingMonitor monitor;
    WindowBatchHost host(state, monitor);
    StereoJob job;
    host.EntryDone(job, matcher, "Disparity " + std::to_string(matcher.IterationCount()));
  }

  void Open(int num_iterations) {
    LoadEntry(num_iterations);
    app.OpenFinished(true, "", 0);
  }

  // Plants one current match value of the job, at a cell of the interior,
  // where the iterations write.
  void SetLn(int row, int column, int index, float value) {
    StereoMatcher& matcher = state.Matcher;
    FloatArray ln = testing::Copy(*matcher.Ln());
    ln.Set(row, column, index, value);
    matcher.LoadVolumes(testing::Copy(*matcher.L0()), std::move(ln), matcher.IterationCount());
  }

  void PressEveryCommand(int row) {
    for (Key key : {Key::I, Key::P, Key::F1, Key::F2, Key::F3, Key::F4}) app.KeyDown(key, row);
    app.ButtonDown(MouseButton::Left, row);
    app.MouseMove(row + 1);
    app.ButtonUp(MouseButton::Left);
    app.ButtonDown(MouseButton::Right, row + 2);
    app.ButtonUp(MouseButton::Right);
  }

  const Presentation& Last() const { return presenter.presentations.back(); }

  AppState state;
  RecordingPresenter presenter;
  Application app{state, presenter};
};

TEST_F(ApplicationTest, NothingWorksBeforeAFileIsLoaded) {
  PressEveryCommand(5);
  EXPECT_TRUE(presenter.presentations.empty());
  EXPECT_EQ(state.Matcher.IterationCount(), -1);

  // Painting presents the (still empty) surface and draws no caption.
  app.Paint(5);
  ASSERT_EQ(presenter.presentations.size(), 1u);
  EXPECT_TRUE(Last().picture.empty());
  EXPECT_FALSE(Last().caption);
}

TEST_F(ApplicationTest, CancelledOpenClosesEveryGate) {
  TemporaryWorkingDirectory folder;
  LoadEntry(3);
  app.OpenFinished(true, "", 4);
  ASSERT_EQ(presenter.presentations.size(), 1u);
  EXPECT_EQ(Last().caption, "Disparity 3");

  app.OpenCancelled(4);
  const std::size_t presented = presenter.presentations.size();
  PressEveryCommand(6);
  EXPECT_EQ(presenter.presentations.size(), presented);
  EXPECT_EQ(state.Matcher.IterationCount(), 3);
  EXPECT_FALSE(fs::exists(folder.path() / "scene.dis"));

  // The data stays; a successful open brings the commands back.
  app.OpenFinished(true, "", 4);
  app.KeyDown(Key::F3, 4);
  EXPECT_EQ(Last().caption, "Disparity 3");
}

TEST_F(ApplicationTest, MapCaptionsCountIterations) {
  Open(3);

  app.KeyDown(Key::I, 0);
  EXPECT_EQ(state.Matcher.IterationCount(), 4);
  EXPECT_EQ(Last().caption, "Disparity 4");

  app.KeyDown(Key::F4, 0);
  EXPECT_EQ(Last().caption, "Confidence 4");
  // The confidence map reaches the screen through the byte rule.
  const FloatArray& map = *state.Matcher.DisplayMap();
  for (int r = 0; r < kRows; r += 7) {
    for (int c = 0; c < kColumns; c += 5) {
      EXPECT_EQ(BlueAt(Last().picture, r, c), DisplayByte(map.At(r, c, 0)));
    }
  }

  app.KeyDown(Key::F3, 0);
  EXPECT_EQ(Last().caption, "Disparity 4");
}

// Levels outside 0 to 255 wrap rather than saturate, as the byte rule says.
TEST_F(ApplicationTest, ImagesAreShownWithTheirNamesAsWritten) {
  Open(0);
  state.ImageArrays.image0->At(0, 3, 0) = 300.0f;
  app.KeyDown(Key::F1, 0);
  EXPECT_EQ(Last().caption, "left%d.bmp");
  EXPECT_EQ(BlueAt(Last().picture, 2, 9), static_cast<std::uint8_t>(Texture(2, 9)));
  // One band is drawn grey: the same byte in blue, green and red.
  for (int b = 0; b < 3; ++b) EXPECT_EQ(Last().picture.Pixel(0, 3)[b], 44);
  EXPECT_EQ(Last().picture.Pixel(0, 3)[3], 0);
  app.KeyDown(Key::F2, 0);
  EXPECT_EQ(Last().caption, "right.bmp");
  EXPECT_EQ(BlueAt(Last().picture, 2, 9), static_cast<std::uint8_t>(Texture(2, 12)));

  // A larger image 1 shows its top-left part.
  state.ImageArrays.image1 = ShiftedTexture(kColumns + 5, kRows + 4, 0);
  app.KeyDown(Key::F2, 0);
  EXPECT_EQ(Last().picture.width, kColumns);
  EXPECT_EQ(BlueAt(Last().picture, kRows - 1, kColumns - 1),
            static_cast<std::uint8_t>(Texture(kRows - 1, kColumns - 1)));
}

TEST_F(ApplicationTest, SliceCaptionsAreRightAligned) {
  EXPECT_EQ(SliceCaption(MouseButton::Left, 37), "L0 2D Slice  37");
  EXPECT_EQ(SliceCaption(MouseButton::Right, 5), "Ln 2D Slice   5");
  EXPECT_EQ(SliceCaption(MouseButton::Left, 1000), "L0 2D Slice 1000");

  Open(2);
  app.ButtonDown(MouseButton::Left, 37 - 20);
  EXPECT_EQ(Last().caption, "L0 2D Slice  17");
  app.ButtonUp(MouseButton::Left);
  // The right button draws Ln at 4000 grey levels to the unit, capped at 255.
  SetLn(9, 20, 4, 0.05f);
  SetLn(9, 21, 4, 0.07f);
  app.ButtonDown(MouseButton::Right, 9);
  EXPECT_EQ(Last().caption, "Ln 2D Slice   9");
  EXPECT_EQ(BlueAt(Last().picture, 8, 20), 200);
  EXPECT_EQ(BlueAt(Last().picture, 9, 20), 200);
  EXPECT_EQ(BlueAt(Last().picture, 8, 21), 255);
}

TEST_F(ApplicationTest, SliceBelowThePictureStillPresents) {
  Open(1);
  app.KeyDown(Key::F4, 0);
  const FloatArray before = testing::Copy(*state.Matcher.DisplayMap());
  const std::size_t presented = presenter.presentations.size();

  app.ButtonDown(MouseButton::Left, kRows);
  ASSERT_EQ(presenter.presentations.size(), presented + 1);
  EXPECT_EQ(Last().caption, "L0 2D Slice  30");
  EXPECT_EQ(testing::FirstDifference(before, *state.Matcher.DisplayMap()), -1);
}

TEST_F(ApplicationTest, SlicesFollowThePointerRowByRow) {
  Open(1);
  app.ButtonDown(MouseButton::Left, 10);
  const std::size_t presented = presenter.presentations.size();

  // Sideways only: rendered again but not presented; the caption waits.
  app.MouseMove(10);
  EXPECT_EQ(presenter.presentations.size(), presented);
  EXPECT_EQ(state.CaptionPending, 1);

  app.MouseMove(11);
  ASSERT_EQ(presenter.presentations.size(), presented + 1);
  EXPECT_EQ(Last().caption, "L0 2D Slice  11");

  // Released: nothing is redrawn, and the next press presents whatever the row.
  app.ButtonUp(MouseButton::Left);
  EXPECT_EQ(state.LastSliceRow, -1);
  app.MouseMove(12);
  EXPECT_EQ(presenter.presentations.size(), presented + 1);
  app.ButtonDown(MouseButton::Left, 11);
  EXPECT_EQ(presenter.presentations.size(), presented + 2);
}

TEST_F(ApplicationTest, PressOnTheRowOfTheLastUpdateWaitsForAPaint) {
  Open(1);
  app.KeyDown(Key::F3, 12);
  const std::size_t presented = presenter.presentations.size();
  app.ButtonDown(MouseButton::Right, 12);
  EXPECT_EQ(presenter.presentations.size(), presented);
  app.Paint(12);
  ASSERT_EQ(presenter.presentations.size(), presented + 1);
  EXPECT_EQ(Last().caption, "Ln 2D Slice  12");
}

TEST_F(ApplicationTest, BothButtonsPresentBothSlices) {
  Open(0);
  app.ButtonDown(MouseButton::Left, 6);
  state.RightButtonDown = 1;
  const std::size_t presented = presenter.presentations.size();
  app.MouseMove(7);
  ASSERT_EQ(presenter.presentations.size(), presented + 2);
  EXPECT_EQ(presenter.presentations[presented].caption, "L0 2D Slice   7");
  EXPECT_EQ(Last().caption, "Ln 2D Slice   7");
}

TEST_F(ApplicationTest, PrintRewritesTheOutputFileWithoutTouchingTheCaption) {
  TemporaryWorkingDirectory folder;
  Open(1);
  app.KeyDown(Key::P, 0);
  ASSERT_TRUE(fs::exists(folder.path() / "scene.dis"));
  std::ifstream output(folder.path() / "scene.dis");
  int columns = 0, rows = 0;
  output >> columns >> rows;
  EXPECT_EQ(columns, kColumns);
  EXPECT_EQ(rows, kRows);
  EXPECT_EQ(state.CaptionText, "Disparity 1");
}

Rgb ColourOf(const Surface& picture, int row, int column) {
  const std::uint8_t* pixel = picture.Pixel(row, column);
  return {pixel[2], pixel[1], pixel[0]};
}

// M cycles grey, viridis and the diverging map over whatever is shown, with
// the scale's end values; G brings back the exact grey levels at once.
TEST_F(ApplicationTest, ColourMapsCycleAndGreyIsOneKeyAway) {
  Open(2);
  const Surface grey = Last().picture;
  app.KeyDown(Key::M, 0);
  EXPECT_EQ(state.Colours, ColourMap::Viridis);
  ASSERT_TRUE(presenter.colour_scale);
  EXPECT_EQ(presenter.colour_scale->range.low, 0.0);
  EXPECT_EQ(presenter.colour_scale->range.high, 12.0);
  const double disparity = state.Matcher.DispConf()->At(15, 20, 0);
  EXPECT_EQ(ColourOf(Last().picture, 15, 20), ColourAt(ColourMap::Viridis, disparity / 12.0));
  EXPECT_EQ(Last().caption, std::nullopt);  // the caption stays

  app.KeyDown(Key::F4, 0);
  const auto confidence = FiniteRange(*state.Matcher.DispConf(), 1);
  ASSERT_TRUE(confidence && presenter.colour_scale);
  EXPECT_EQ(presenter.colour_scale->range.high, confidence->high);
  app.KeyDown(Key::F3, 0);
  app.KeyDown(Key::M, 0);
  EXPECT_EQ(state.Colours, ColourMap::Diverging);

  // The map itself is never touched by the colours.
  const FloatArray map = testing::Copy(*state.Matcher.DisplayMap());
  app.KeyDown(Key::G, 0);
  EXPECT_FALSE(presenter.colour_scale);
  EXPECT_EQ(Last().picture.pixels, grey.pixels);
  EXPECT_EQ(testing::FirstDifference(map, *state.Matcher.DisplayMap()), -1);
}

// In colour, the current-match slice spans the scale from its smallest to its
// largest value, so that values far below a grey level still show.
TEST_F(ApplicationTest, ColouredSlicesUseTheirOwnRange) {
  Open(2);
  app.KeyDown(Key::M, 0);
  SetLn(9, 20, 4, 0.01f);
  app.ButtonDown(MouseButton::Right, 9);
  ASSERT_TRUE(presenter.colour_scale);
  const auto range = FiniteRange(
      SliceValues(state.Matcher, *state.Matcher.Ln(), 9, kSlicePictureRowsPerDisparity), 0);
  ASSERT_TRUE(range);
  EXPECT_EQ(presenter.colour_scale->range.high, range->high);
  EXPECT_LT(range->high, 0.06);  // 240 grey levels at most: nearly black in grey
  EXPECT_EQ(ColourOf(Last().picture, 9, 20),
            ColourAt(ColourMap::Viridis,
                     (static_cast<double>(0.01f) - range->low) / (range->high - range->low)));
}

// The profile's peak is the one the extraction chose, to the last bit.
TEST_F(ApplicationTest, ProfileHoldsTheValuesAndTheChosenPeak) {
  EXPECT_FALSE(ProfileAt(state.Matcher, 10, 10));
  Open(3);
  const StereoMatcher& matcher = state.Matcher;
  EXPECT_FALSE(ProfileAt(matcher, kRows, 0));
  EXPECT_FALSE(ProfileAt(matcher, 0, -1));
  int peaks = 0;
  for (int r = 0; r < kRows; r += 3) {
    for (int c = 0; c < kColumns; c += 3) {
      const auto profile = ProfileAt(matcher, r, c);
      ASSERT_TRUE(profile);
      ASSERT_EQ(profile->initial.size(), 12u);
      EXPECT_EQ(profile->initial[5], matcher.L0()->At(r, c, 5));
      EXPECT_EQ(profile->current.back()[5], matcher.Ln()->At(r, c, 5));
      EXPECT_EQ(static_cast<float>(profile->disparity), matcher.DispConf()->At(r, c, 0));
      EXPECT_EQ(static_cast<float>(profile->confidence), matcher.DispConf()->At(r, c, 1));
      if (profile->peak_index < 0) continue;
      ++peaks;
      EXPECT_LE(std::abs(profile->offset), 0.5);
      EXPECT_NEAR(profile->peak_index + profile->offset, profile->disparity, 1e-5);
    }
  }
  EXPECT_GT(peaks, 20);
}

TEST_F(ApplicationTest, EachIterationAddsACurveAtTheFollowedPixel) {
  Open(1);
  ProfileTracker tracker;
  tracker.Follow(state.Matcher, 15, 20);
  for (int i = 0; i < 3; ++i) {
    app.KeyDown(Key::I, 0);
    tracker.AfterIteration(state.Matcher);
  }
  tracker.Follow(state.Matcher, 15, 20);
  ASSERT_TRUE(tracker.profile());
  EXPECT_EQ(tracker.profile()->iterations, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(tracker.profile()->current.back()[6], state.Matcher.Ln()->At(15, 20, 6));
  EXPECT_NE(tracker.profile()->current.front(), tracker.profile()->current.back());

  tracker.Follow(state.Matcher, 15, 21);
  EXPECT_EQ(tracker.profile()->iterations, std::vector<int>{4});
  tracker.Follow(state.Matcher, -1, 0);
  EXPECT_FALSE(tracker.profile());
}

// The pair's true disparity is +3 in the program's sign, -3 in the
// benchmarks'; a few pixels are unknown and a block is given a wrong truth.
class GroundTruthTest : public ApplicationTest {
 protected:
  std::string WriteGroundTruth(int columns, int rows) {
    FloatArray truth(columns, rows, 1);
    truth.Fill(-3.0f);
    for (int c = 0; c < columns; c += 4) truth.At(12, c, 0) = std::nanf("");
    for (int r = 14; r < 17; ++r) {
      for (int c = 12; c < 16; ++c) truth.At(r, c, 0) = 1.5f;
    }
    const std::string path = (folder.path() / "gt.pfm").string();
    EXPECT_TRUE(WritePfm(truth, 0, path));
    return path;
  }

  TemporaryWorkingDirectory folder;
};

TEST_F(GroundTruthTest, ErrorViewCaptionHoldsTheScorersFigures) {
  Open(4);
  app.KeyDown(Key::F5, 0);
  EXPECT_EQ(presenter.status, "No ground truth: File > Load ground truth");
  EXPECT_FALSE(app.LoadGroundTruth((folder.path() / "none.pfm").string()).empty());

  ASSERT_EQ(app.LoadGroundTruth(WriteGroundTruth(kColumns, kRows)), "");
  app.KeyDown(Key::F5, 0);
  const FloatArray& truth = *state.GroundTruth;
  const Score score = ScoreDisparity(*state.Matcher.DispConf(), truth, nullptr, ScoreParameters{});
  EXPECT_EQ(Last().caption, ErrorCaption(4, score));
  Score round;
  round.bad2 = 12.346;
  round.mae = 0.5;
  EXPECT_EQ(ErrorCaption(7, round), "Error 7  bad2 12.35%  mean 0.500");
  ASSERT_TRUE(presenter.colour_scale);
  EXPECT_EQ(presenter.colour_scale->range.low, -kWrongError);

  // Counted here on their own: rows and columns 10 pixels inside the edges,
  // the known ones; the wrong block is 12 pixels of them.
  int evaluated = 0, wrong = 0;
  double error_sum = 0;
  for (int r = 10; r < kRows - 10; ++r) {
    for (int c = 10; c < kColumns - 10; ++c) {
      if (!std::isfinite(truth.At(r, c, 0))) continue;
      ++evaluated;
      const double error =
          std::abs(-static_cast<double>(state.Matcher.DispConf()->At(r, c, 0)) - truth.At(r, c, 0));
      error_sum += error;
      if (error > 2.0) ++wrong;
    }
  }
  EXPECT_EQ(score.evaluatedPixels, evaluated);
  EXPECT_GE(wrong, 12);
  EXPECT_DOUBLE_EQ(score.bad2, 100.0 * wrong / evaluated);
  EXPECT_NEAR(score.mae, error_sum / evaluated, 1e-9);

  // Pixels wrong by more than 2 are drawn darker, keeping their sign's colour.
  const double error = -state.Matcher.DispConf()->At(15, 13, 0) - 1.5;
  ASSERT_LT(error, -kWrongError);
  const Rgb end = ColourAt(ColourMap::Diverging, 0.0);
  EXPECT_EQ(ColourOf(Last().picture, 15, 13),
            (Rgb{static_cast<std::uint8_t>(end.red / 2), static_cast<std::uint8_t>(end.green / 2),
                 static_cast<std::uint8_t>(end.blue / 2)}));
  EXPECT_EQ(ColourOf(Last().picture, 12, 0), (Rgb{128, 128, 128}));

  // The status bar reads the truth and the error under the pointer.
  EXPECT_NE(PixelReadout(state, {15, 13}).find("gt 1.500  error -"), std::string::npos);
  EXPECT_NE(PixelReadout(state, {12, 4}).find("gt unknown"), std::string::npos);
}

TEST_F(GroundTruthTest, TruthOfAnotherSizeIsRefusedOnTheStatusBar) {
  Open(1);
  ASSERT_EQ(app.LoadGroundTruth(WriteGroundTruth(kColumns + 1, kRows)), "");
  app.KeyDown(Key::F3, 0);
  const std::size_t presented = presenter.presentations.size();
  app.KeyDown(Key::F5, 0);
  EXPECT_EQ(presenter.status, "The ground truth is 41 x 30, the disparity map 40 x 30");
  EXPECT_EQ(presenter.presentations.size(), presented);
  EXPECT_EQ(Last().caption, "Disparity 1");
}

TEST_F(ApplicationTest, PrintSaysWhatWasWrittenOrWhyNot) {
  TemporaryWorkingDirectory folder;
  Open(1);
  app.KeyDown(Key::P, 0);
  EXPECT_EQ(presenter.status, "Wrote scene.dis");
  state.Matcher.OutputFileName = "missing/scene.dis";
  app.KeyDown(Key::P, 0);
  EXPECT_EQ(presenter.status, "Could not write missing/scene.dis: No such file or directory");
}

// The sliced row is marked on the screen while a button is held, and the
// picture itself stays the slice as drawn.
TEST_F(ApplicationTest, SlicedRowIsMarkedOnlyWhileAButtonIsHeld) {
  Open(1);
  app.ButtonDown(MouseButton::Left, 9);
  EXPECT_EQ(presenter.marked_row, 9);
  app.MouseMove(11);
  EXPECT_EQ(presenter.marked_row, 11);
  const FloatArray slice = testing::Copy(*state.Matcher.DisplayMap());
  state.RightButtonDown = 1;
  app.ButtonUp(MouseButton::Left);
  EXPECT_EQ(presenter.marked_row, 11);
  app.ButtonUp(MouseButton::Right);
  EXPECT_EQ(presenter.marked_row, -1);
  EXPECT_EQ(testing::FirstDifference(slice, *state.Matcher.DisplayMap()), -1);
}

TEST_F(ApplicationTest, ReadoutNamesThePixelUnderThePointer) {
  EXPECT_EQ(PixelReadout(state, {3, 4}), "");
  Open(2);
  const FloatArray& dispconf = *state.Matcher.DispConf();
  char expected[200];
  std::snprintf(expected, sizeof expected,
                "row 12  column 20   image 0 %g   disparity %.3f  confidence %.4f", Texture(12, 20),
                dispconf.At(12, 20, 0), dispconf.At(12, 20, 1));
  EXPECT_EQ(PixelReadout(state, {12, 20}), expected);
  EXPECT_EQ(PixelReadout(state, {kRows, 0}), "");
  EXPECT_EQ(PixelReadout(state, {0, -1}), "");

  // On a held slice the picture row is a disparity index, two rows each.
  app.ButtonDown(MouseButton::Right, 12);
  SetLn(12, 20, 5, 0.125f);
  EXPECT_EQ(PixelReadout(state, {11, 20}),
            "Ln slice of row 12  column 20  disparity index 5 (disparity 5)  value 0.1250");
  EXPECT_EQ(PixelReadout(state, {2 * 12 + 1, 20}), "Ln slice of row 12  column 20");
  app.ButtonUp(MouseButton::Right);
  EXPECT_EQ(PixelReadout(state, {12, 20}), expected);
}

TEST_F(ApplicationTest, SavedPicturesAreNamedAfterTheCaption) {
  EXPECT_EQ(PictureFileName("Disparity 3"), "disparity-3.png");
  EXPECT_EQ(PictureFileName("L0 2D Slice  37"), "l0-2d-slice-37.png");
  EXPECT_EQ(PictureFileName("images/left.bmp"), "left.png");
  EXPECT_EQ(PictureFileName(""), "picture.png");
}

TEST_F(ApplicationTest, EscapeAndExitAskToClose) {
  app.KeyDown(Key::Escape, 0);
  app.Exit();
  EXPECT_EQ(presenter.close_requests, 2);
  EXPECT_FALSE(state.FatalErrorReported);
}

TEST_F(ApplicationTest, FatalErrorShowsTheMessageAsPassedAndDrawsNothingAfter) {
  LoadEntry(1);
  app.OpenFinished(false, "Couldn't open image - 100%d.bmp", 3);
  EXPECT_EQ(presenter.messages, std::vector<std::string>{"Couldn't open image - 100%d.bmp"});
  EXPECT_EQ(presenter.close_requests, 1);
  EXPECT_TRUE(state.FatalErrorReported);
  EXPECT_EQ(state.DirectionsLoaded, 0);
  // The view update after the failed run and late paints present nothing.
  app.Paint(3);
  app.ButtonDown(MouseButton::Left, 3);
  app.MouseMove(4);
  EXPECT_TRUE(presenter.presentations.empty());
  app.ReleaseDisplayObjects();
  EXPECT_TRUE(state.ImageSurfaces[0].empty());
}

class DirectionsRunTest : public ApplicationTest {
 protected:
  void SetUp() override {
    WriteGreyBmp(folder.path() / "a0.bmp", *ShiftedTexture(kColumns, kRows, 0));
    WriteGreyBmp(folder.path() / "a1.bmp", *ShiftedTexture(kColumns, kRows, -3));
    WriteGreyBmp(folder.path() / "b0.bmp", *ShiftedTexture(24, 20, 0));
    WriteGreyBmp(folder.path() / "b1.bmp", *ShiftedTexture(24, 20, -2));
  }
  std::string WriteDirections(const std::string& text) {
    testing::WriteText((folder.path() / "in.cpd").string(), text);
    return (folder.path() / "in.cpd").string();
  }

  TemporaryWorkingDirectory folder;
  RecordingMonitor monitor;
};

TEST_F(DirectionsRunTest, LastEntryIsShownAfterTheRun) {
  const std::string path = WriteDirections(Entry("a0.bmp", "a1.bmp", 2, "a.dis") +
                                           Entry("b0.bmp", "b1.bmp", 3, "b.dis"));
  const std::optional<std::string> failure = RunDirectionsFile(path, state, monitor);
  ASSERT_FALSE(failure) << *failure;

  // Each entry's image 0 was shown with its name while it computed.
  ASSERT_EQ(monitor.pictures.size(), 2u);
  EXPECT_EQ(monitor.pictures[0].caption, "a0.bmp");
  EXPECT_EQ(monitor.pictures[0].picture.width, kColumns);
  EXPECT_EQ(monitor.pictures[1].caption, "b0.bmp");
  EXPECT_EQ(state.DisplayWidth, 24);
  EXPECT_EQ(state.DisplayHeight, 20);
  EXPECT_TRUE(fs::exists(folder.path() / "a.dis"));
  EXPECT_TRUE(fs::exists(folder.path() / "b.dis"));

  // The grids are the ones the headless program loads.
  const std::unique_ptr<FloatArray> expected =
      LoadImageGrid((folder.path() / "b1.bmp").string(), 1);
  ASSERT_TRUE(expected && state.ImageArrays.image1);
  EXPECT_TRUE(std::equal(expected->data(), expected->data() + expected->size(),
                         state.ImageArrays.image1->data()));

  app.OpenFinished(true, "", 0);
  ASSERT_EQ(presenter.presentations.size(), 1u);
  EXPECT_EQ(Last().caption, "Disparity 3");
  EXPECT_EQ(BlueAt(Last().picture, 10, 10), DisplayByte(state.Matcher.DisplayMap()->At(10, 10, 0)));
  app.KeyDown(Key::F1, 0);
  EXPECT_EQ(Last().caption, "b0.bmp");
}

TEST_F(DirectionsRunTest, MissingImageIsReportedAfterTheRun) {
  const std::string path = WriteDirections(Entry("a0.bmp", "missing%d.bmp", 2, "a.dis"));
  const std::optional<std::string> failure = RunDirectionsFile(path, state, monitor);
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure,
            "Couldn't open image - missing%d.bmp\ncannot open: No such file or directory");
  EXPECT_TRUE(presenter.messages.empty());

  app.OpenFinished(false, *failure, 0);
  EXPECT_EQ(presenter.messages, std::vector<std::string>{*failure});
  EXPECT_TRUE(presenter.presentations.empty());
}

TEST_F(DirectionsRunTest, AMisspeltKeywordIsShownWithWhereItWasFound) {
  const std::string path = WriteDirections(Entry("a0.bmp", "a1.bmp", 2, "a.dis") +
                                           "a0.bmp a1.bmp 1\nMinDisparity -4\nMaxDisparty 4\n");
  const std::optional<std::string> failure = RunDirectionsFile(path, state, monitor);
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure, "in.dat :: Can't Read MaxDisparity\n" + path +
                          ", entry 2, line 13: found \"MaxDisparty\"");
  EXPECT_TRUE(fs::exists(folder.path() / "a.dis"));

  app.OpenFinished(false, *failure, 0);
  EXPECT_EQ(presenter.messages, std::vector<std::string>{*failure});
}

// A run stops at the next iteration, however many the entry asks for; the
// entries already written stay, and the window closes the commands as for a
// cancelled open.
TEST_F(DirectionsRunTest, CancelStopsTheLongestRunBetweenIterations) {
  const std::string path = WriteDirections(Entry("b0.bmp", "b1.bmp", 2, "b.dis") +
                                           Entry("a0.bmp", "a1.bmp", 2147483647, "a.dis"));
  monitor.cancel_after_iterations = 2 + 3;
  const RunOutcome outcome = RunDirectionsFile(path, state, monitor, monitor.cancel);
  EXPECT_EQ(outcome.kind, RunOutcome::Kind::Cancelled);
  EXPECT_EQ(monitor.iterations_reported, 5);
  EXPECT_TRUE(fs::exists(folder.path() / "b.dis"));
  EXPECT_FALSE(fs::exists(folder.path() / "a.dis"));
  ASSERT_EQ(monitor.pictures.size(), 2u);
  EXPECT_EQ(monitor.pictures[1].caption, "a0.bmp");
  EXPECT_EQ(state.Matcher.L0Ready(), 0);

  app.OpenCancelled(0);
  EXPECT_FALSE(app.Loaded());
  const std::size_t presented = presenter.presentations.size();
  app.KeyDown(Key::I, 0);
  app.KeyDown(Key::F1, 0);
  EXPECT_EQ(presenter.presentations.size(), presented);
}

TEST_F(DirectionsRunTest, CancelAskedBeforeTheRunStopsBeforeAnyWork) {
  const std::string path = WriteDirections(Entry("a0.bmp", "a1.bmp", 2, "a.dis"));
  monitor.cancel = true;
  const RunOutcome outcome = RunDirectionsFile(path, state, monitor, monitor.cancel);
  EXPECT_EQ(outcome.kind, RunOutcome::Kind::Cancelled);
  EXPECT_TRUE(monitor.pictures.empty());
  EXPECT_FALSE(fs::exists(folder.path() / "a.dis"));
}

// A failure the run met before the cancel is still the failure it reports.
TEST_F(DirectionsRunTest, FailureBeforeTheCancelIsReported) {
  const std::string path = WriteDirections(Entry("a0.bmp", "missing.bmp", 2, "a.dis"));
  monitor.cancel_after_iterations = 1;
  const RunOutcome outcome = RunDirectionsFile(path, state, monitor, monitor.cancel);
  EXPECT_EQ(outcome.kind, RunOutcome::Kind::Failed);
  EXPECT_EQ(outcome.fatal_message.substr(0, outcome.fatal_message.find('\n')),
            "Couldn't open image - missing.bmp");
}

TEST_F(DirectionsRunTest, OutputsThatCannotBeWrittenAreListed) {
  const std::string path = WriteDirections(Entry("b0.bmp", "b1.bmp", 1, "no/such/folder/b.dis") +
                                           Entry("a0.bmp", "a1.bmp", 1, "a.dis"));
  const RunOutcome outcome = RunDirectionsFile(path, state, monitor, monitor.cancel);
  EXPECT_EQ(outcome.kind, RunOutcome::Kind::Completed);
  ASSERT_EQ(outcome.unwritten.size(), 1u);
  EXPECT_EQ(outcome.unwritten[0], (folder.path() / "no/such/folder/b.dis").string());
  EXPECT_EQ(OutputNotWrittenMessage("b.dis"), "Could not write b.dis");
  EXPECT_TRUE(fs::exists(folder.path() / "a.dis"));
}

// The zoom and pan arithmetic, and the picture pixel under a view point.
TEST(ViewTransformTest, OneToOneWithoutScrollIsTheViewPointItself) {
  ViewTransform view;
  view.SetPictureSize(40, 30);
  view.SetViewSize(180, 100);
  EXPECT_EQ(view.PictureAt(7.9, 4.2).row, 4);
  EXPECT_EQ(view.PictureAt(7.9, 4.2).column, 7);
  // Points beyond the picture map on, as rows below it do for the slices.
  EXPECT_EQ(view.PictureAt(0, 500).row, 500);
  EXPECT_EQ(view.PictureAt(-0.5, -0.5).row, -1);
  // A picture smaller than the view cannot be scrolled.
  view.ScrollTo(10, 10);
  EXPECT_EQ(view.scroll_x(), 0);
  EXPECT_EQ(view.scroll_y(), 0);
}

TEST(ViewTransformTest, ZoomKeepsThePointUnderTheAnchor) {
  ViewTransform view;
  view.SetPictureSize(400, 300);
  view.SetViewSize(200, 150);
  view.ZoomIn(100, 60);
  EXPECT_DOUBLE_EQ(view.zoom(), 1.5);
  EXPECT_EQ(view.PictureAt(100, 60).row, 60);
  EXPECT_EQ(view.PictureAt(100, 60).column, 100);
  view.ZoomTo(4.0, 10, 10);
  // (10 + 50) / 1.5 = column 40 stays under the pointer: 40 * 4 - 10.
  EXPECT_EQ(view.PictureAt(10, 10).column, 40);
  EXPECT_EQ(view.scroll_x(), 150);
  EXPECT_EQ(view.ScaledWidth(), 1600);
  EXPECT_EQ(view.MaximumScrollX(), 1400);

  // At the picture's far corner the scroll limit wins over the anchor.
  view.ScrollTo(100000, 100000);
  EXPECT_EQ(view.scroll_x(), 1400);
  EXPECT_EQ(view.scroll_y(), 1050);
  EXPECT_EQ(view.PictureAt(199.9, 149.9).row, 299);
  EXPECT_EQ(view.PictureAt(199.9, 149.9).column, 399);
  view.ZoomOut(0, 0);
  EXPECT_DOUBLE_EQ(view.zoom(), 3.0);
  EXPECT_LE(view.scroll_x(), view.MaximumScrollX());
}

TEST(ViewTransformTest, StepsStopAtTheLimits) {
  ViewTransform view;
  view.SetPictureSize(10, 10);
  view.SetViewSize(10, 10);
  for (int i = 0; i < 40; ++i) view.ZoomIn(0, 0);
  EXPECT_DOUBLE_EQ(view.zoom(), ViewTransform::kMaximumZoom);
  for (int i = 0; i < 40; ++i) view.ZoomOut(0, 0);
  EXPECT_DOUBLE_EQ(view.zoom(), ViewTransform::kMinimumZoom);
  EXPECT_EQ(view.ScaledWidth(), 1);  // never below one pixel
  view.ZoomTo(100.0, 0, 0);
  EXPECT_DOUBLE_EQ(view.zoom(), ViewTransform::kMaximumZoom);
}

// A 1282 x 1110 result fitted to a 1280 x 994 view: whole, not a pixel over.
TEST(ViewTransformTest, FitShowsTheWholePicture) {
  ViewTransform view;
  view.SetPictureSize(1282, 1110);
  view.SetViewSize(1280, 994);
  view.ScrollTo(50, 50);
  view.FitTo(1280, 994);
  EXPECT_LE(view.ScaledWidth(), 1280);
  EXPECT_LE(view.ScaledHeight(), 994);
  EXPECT_GE(view.ScaledHeight(), 993);
  EXPECT_EQ(view.scroll_x(), 0);
  EXPECT_EQ(view.MaximumScrollY(), 0);
  // The bottom-right view pixel of the picture is its last pixel.
  const PicturePoint last = view.PictureAt(view.ScaledWidth() - 0.5, view.ScaledHeight() - 0.5);
  EXPECT_EQ(last.row, 1109);
  EXPECT_EQ(last.column, 1281);
  EXPECT_NEAR(view.ViewYOfRow(555), 555 * view.zoom(), 1e-9);

  view.OneToOne();
  EXPECT_DOUBLE_EQ(view.zoom(), 1.0);
  view.ScrollBy(5, 200);
  EXPECT_EQ(view.scroll_x(), 2);
  EXPECT_EQ(view.scroll_y(), 116);
  EXPECT_EQ(view.PictureAt(0, 0).row, 116);
}

}  // namespace
}  // namespace tavrel
