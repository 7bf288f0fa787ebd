#pragma once

namespace tavrel {

// How the initial match values compare two pixels.
enum class MatchCost {
  Correlation,  // normalized correlation of the two windows, band by band
  Sad,          // similarity 1 - |I0 - I1| / 255, box-averaged and scaled
};

// What a job asks of the engine, besides its two images. The disparity of a
// cell runs over MinDisparity .. MaxDisparity - 1 (pixel (r, c) of image 0
// against (r, c + d) of image 1).
struct StereoParams {
  int MinDisparity = 0;
  int MaxDisparity = 0;
  int WinRadL0 = 1;         // window radius of the initial match values
  int WinRadRC = 2;         // spatial radius of the iteration's support box
  int WinRadD = 1;          // disparity radius of the iteration's support box
  int NumIterations = 10;   // cooperative iterations after the initial values
  float MaxScaler = 0.96f;  // cap of the background level that SAD values are scaled against
  MatchCost Cost = MatchCost::Sad;
};

}  // namespace tavrel
