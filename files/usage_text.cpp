#include "files/usage_text.h"

#include "files/atomic_file.h"

namespace tavrel {
namespace {

// One string per line of the file; the line ends are added when writing.
const char* const kLines[] = {
    "Tavrel.exe - Version 1.01, Jan 21, 2000",
    "",
    "Tavrel - dense two-view stereo by cooperative matching.",
    "Written and maintained by the Tavrel project.",
    "",
    "Use, copy and change it freely; it comes with no warranty of any kind.",
    "",
    "Questions and reports go to the Tavrel project's issue tracker.",
    "",
    "When you publish results made with it, please cite the Tavrel project.",
    "",
    "Every picture that comes with Tavrel was made by the Tavrel project itself.",
    "",
    "This build reads images as BMP (1 to 32 bits, run-length encoded or not), PNG, and PPM or "
    "PGM.",
    "It runs on Linux, headless as tavrel-batch or in the Qt window tavrel.",
    "",
    "Requirements:  Windows NT 4.0 or later, 24 or 32 bit color",
    "",
    "Tavrel.exe reads in two images files and a directions file named \"*.cpd\".  The image files ",
    "are specified within \"*.cpd\".  ",
    "",
    "After the stereo data has been computed the following commands may be made:",
    "",
    "F1 - Display Image 0",
    "F2 - Display Image 1",
    "F3 - Display Disparity Map",
    "F4 - Display Confidence Map",
    "",
    "i - Compute another iteration",
    "p - Print disparity and confidence values into output file.",
    "",
    "Left Mouse Click - Display a column slice of L0 values (initial match values)",
    "Right Mouse Click - Display a column slice of Ln values (current match values)",
    "",
    "",
    "Format for \"*.cpd\"  ",
    "",
    "s0 s1 i0",
    "MinDisparity \ti1",
    "MaxDisparity \ti2",
    "WinRadL0 \ti3",
    "WinRadRC \ti4",
    "WinRadD \ti5",
    "NumIterations \ti6",
    "MaxScaler \tf0",
    "USE_SAD \ti7",
    "Output File \ts2",
    "",
    "The above may be repeated so the program can do more than one stereo image pair at a time.",
    "",
    "s0 = Name of the first/reference image.  Must be a bmp file.",
    "s1 = Name of the second image, must be rectified (column wise) relative to first image.",
    "i0 = Number of color bands, 1 for b/w and 3 for rgb.",
    "i1 = Minimum disparity value in pixels.\t",
    "i2 = Maximum disparity value in pixels.\t If i2 - i1 is too large the program will crash due "
    "to a ",
    "\tshortage of memory.  A difference of greater than 80 is not recommended.  To make sure ",
    "\tdisparities are found correctly pad the disparity range by 3 or 5 pixels.",
    "i3 = Window radius used for computing the initial match values L0",
    "\tRecommended values = 1 or 2 ",
    "i4 = Local Support Radius (row-column dimensions) used for averaging match values during each "
    "iteration.",
    "\tRecommended values = 1 to 3",
    "i5 = Local Support Radius (disparity dimension) used for averaging match values during each "
    "iteration.",
    "\tRecommended value = 1",
    "i6 = Number of iterations used to refine the disparity map.",
    "\tRecommended values = 5 to 15",
    "f0 = Used for linearly scaling the L0 values when SAD is used.  The worse the image quality ",
    "\t(more noise) the lower the value should be.  ",
    "\tRecommended values = 0.95 to 0.97",
    "i7 = 1 if SAD (sums of absolute differences) is to be used for computing the initial match "
    "values. ",
    "\t0 if normalized correlation should be used.  If image quality is good SAD (a value of 1) ",
    "\tis recommended.",
    "s2 = Name of the output file which the disparity and confidence values will be printed to.",
    "",
    "Example:",
    "",
    "image0.bmp image1.bmp 1",
    "MinDisparity \t-3",
    "MaxDisparity \t24",
    "WinRadL0 \t1",
    "WinRadRC \t2",
    "WinRadD \t1",
    "NumIterations \t10",
    "MaxScaler \t0.96",
    "USE_SAD \t1",
    "Output File \timage.dis",
    "",
    "",
    "",
    "Format of the Output File:",
    "",
    "#Columns #Rows",
    "i0 i1",
    "i2 i3",
    ".",
    ".",
    ".",
    "",
    "i0 = Disparity value for pixel (0,0) (r,c)",
    "i1 = Confidence value for pixel (0,0)",
    "i2 = Disparity value for pixel (0,1)",
    "i3 = Confidence value for pixel (0,1)",
    "",
    "Disparity and confidence values are output horizontally (like a TV scan).",
    "",
};

}  // namespace

std::string UsageText() {
  std::string text;
  for (const char* line : kLines) {
    text += line;
    text += '\n';
  }
  return text;
}

bool WriteReadme(const std::string& fileName, std::string* reason) {
  return WriteWholeFile(fileName, UsageText(), reason);
}

}  // namespace tavrel
