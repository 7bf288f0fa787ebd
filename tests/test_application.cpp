#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/window_batch_host.h"
#include "display/image_loading.h"
#include "display/rendering.h"
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

  std::vector<Presentation> presentations;
  std::vector<std::string> messages;
  int close_requests = 0;
};

class RecordingMonitor : public RunMonitor {
 public:
  void ShowPicture(const Surface& picture, const std::string& caption) override {
    pictures.push_back({picture, caption});
  }
  void ShowProgress(const BatchProgress&) override {}

  std::vector<Presentation> pictures;
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
    matcher.Run(*state.ImageArrays.image0, *state.ImageArrays.image1, 0, 12, 1, 2, 1,
                num_iterations, 0.96f, 1);
    RecordingMonitor monitor;
    WindowBatchHost host(state, monitor);
    StereoJob job;
    host.EntryDone(job, matcher, "Disparity " + std::to_string(matcher.IterationCount));
  }

  void Open(int num_iterations) {
    LoadEntry(num_iterations);
    app.OpenFinished(true, "", 0);
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
  EXPECT_EQ(state.Matcher.IterationCount, -1);

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
  EXPECT_EQ(state.Matcher.IterationCount, 3);
  EXPECT_FALSE(fs::exists(folder.path() / "scene.dis"));

  // The data stays; a successful open brings the commands back.
  app.OpenFinished(true, "", 4);
  app.KeyDown(Key::F3, 4);
  EXPECT_EQ(Last().caption, "Disparity 3");
}

TEST_F(ApplicationTest, MapCaptionsCountIterations) {
  Open(3);

  app.KeyDown(Key::I, 0);
  EXPECT_EQ(state.Matcher.IterationCount, 4);
  EXPECT_EQ(Last().caption, "Disparity 4");

  app.KeyDown(Key::F4, 0);
  EXPECT_EQ(Last().caption, "Confidence 4");
  // The confidence map reaches the screen through the byte rule.
  const FloatArray& map = *state.Matcher.DisplayMap;
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
  state.Matcher.Ln->Set(5, 20, 4, 0.05f);
  state.Matcher.Ln->Set(5, 21, 4, 0.07f);
  app.ButtonDown(MouseButton::Right, 5);
  EXPECT_EQ(Last().caption, "Ln 2D Slice   5");
  EXPECT_EQ(BlueAt(Last().picture, 8, 20), 200);
  EXPECT_EQ(BlueAt(Last().picture, 9, 20), 200);
  EXPECT_EQ(BlueAt(Last().picture, 8, 21), 255);
}

TEST_F(ApplicationTest, SliceBelowThePictureStillPresents) {
  Open(1);
  app.KeyDown(Key::F4, 0);
  const FloatArray before = testing::Copy(*state.Matcher.DisplayMap);
  const std::size_t presented = presenter.presentations.size();

  app.ButtonDown(MouseButton::Left, kRows);
  ASSERT_EQ(presenter.presentations.size(), presented + 1);
  EXPECT_EQ(Last().caption, "L0 2D Slice  30");
  EXPECT_EQ(testing::FirstDifference(before, *state.Matcher.DisplayMap), -1);
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
  EXPECT_EQ(BlueAt(Last().picture, 10, 10), DisplayByte(state.Matcher.DisplayMap->At(10, 10, 0)));
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

}  // namespace
}  // namespace tavrel
