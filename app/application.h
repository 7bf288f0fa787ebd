#pragma once

#include <string>

#include "app/app_state.h"
#include "app/presenter.h"

namespace tavrel {

// The keys the window acts on; every other key is Other and does nothing.
// M cycles the colour maps, G goes back to exact grey.
enum class Key { Escape, I, P, F1, F2, F3, F4, F5, M, G, Other };

enum class MouseButton { Left, Right };

// Each disparity index of a slice picture takes this many picture rows.
inline constexpr int kSlicePictureRowsPerDisparity = 2;

// The window's commands, free of any toolkit. Every view follows one pattern:
// render a grid into image surface 0, set the caption and the redraw flag, and
// call UpdateView, which presents. `row` is always the pointer's client row at
// the time of the event (it may lie outside the picture).
//
// Two gates decide what works: loaded (a directions file ran to its end) and
// computed (loaded, and the matcher holds match values).
class Application {
 public:
  Application(AppState& state, Presenter& presenter);

  bool Loaded() const;
  bool Computed() const;

  void Paint(int row);
  void KeyDown(Key key, int row);
  void MouseMove(int row);
  void ButtonDown(MouseButton button, int row);
  void ButtonUp(MouseButton button);

  // View menu: draws what is shown in this colour map (Grey: the exact levels).
  void ChooseColourMap(ColourMap map, int row);

  // File/Load ground truth and --ground-truth: reads a PFM in the benchmarks'
  // sign. Returns why it could not, or an empty text; the status bar says
  // which file is in use.
  std::string LoadGroundTruth(const std::string& path);

  // File/Exit.
  void Exit();
  // File/Help: writes README.txt into the current folder and says so.
  void Help();
  // File/Open, after the dialog was cancelled.
  void OpenCancelled(int row);
  // File/Open, after the directions file ran: `succeeded` false means the run
  // stopped with `fatal_message`, which is reported before anything else.
  void OpenFinished(bool succeeded, const std::string& fatal_message, int row);

  // Renders the live slice views, presents a pending redraw and records the row.
  void UpdateView(int row);

  // The one report of a failure that stops the program: the display surfaces
  // are released, the message is shown exactly as passed, the window closes.
  void FatalError(const std::string& message);

  // Drops the display surfaces; later presentations do nothing. Safe to repeat.
  void ReleaseDisplayObjects();

 private:
  void ShowImage(int which, const std::string& name);
  void ShowMap(ShownView map, const std::string& caption);
  // P: writes the output file again and says on the status bar how it went.
  void WriteOutputAndSaySo();
  void ShowSlice(MouseButton button, int row);
  void RenderToDrawingSurface(const FloatArray& grid);
  // Draws the view shown again in the colour map chosen, and presents it.
  void SetColourMap(ColourMap map);
  // Over the grey rendering of the view shown: its values in the colour map
  // chosen, and the colour bar that goes with them.
  void ApplyColourMap();
  std::optional<ColourScale> RenderInColour();
  // F5: the error against the ground truth, captioned with the scorer's figures.
  void ShowErrorView();
  ColourScale RenderErrorView();
  void PresentSurface();

  AppState& state_;
  Presenter& presenter_;
};

// "Disparity %d", "Confidence %d", "L0 2D Slice %3d", "Ln 2D Slice %3d".
std::string DisparityCaption(int iteration_count);
std::string ConfidenceCaption(int iteration_count);
std::string SliceCaption(MouseButton button, int row);
// The name Save picture suggests for what a caption describes: "Disparity 3"
// gives "disparity-3.png", "left.bmp" gives "left.png".
std::string PictureFileName(const std::string& caption);
// "Could not write NAME": the status after P and the box after a run.
std::string OutputNotWrittenText(const std::string& path);

}  // namespace tavrel
