#pragma once

#include <pybind11/numpy.h>

#include <memory>
#include <string>

#include "engine/float_array.h"

namespace tavrel::python {

// How the three bands of a colour array are ordered: "bgr" (band 0 blue, as
// the engine and BGR image readers have it) or "rgb".
enum class ChannelOrder { Bgr, Rgb };

// Throws ValueError for anything but "bgr" and "rgb".
ChannelOrder ParseChannelOrder(const std::string& name);

// Copies an image array into a grid the engine computes on. Takes float32
// (rows, columns, bands) or (rows, columns), and uint8 (rows, columns),
// (rows, columns, 1) or (rows, columns, 3); a 3-band array in "rgb" order has
// its first and last band swapped. Only the top-left rows x columns are taken
// when the array is larger (image 1 contributes its top-left part, as in the
// batch run); a negative limit takes the whole array. `name` names the array
// in messages ("image 0"). Throws TypeError for another dtype and ValueError
// for another shape.
std::unique_ptr<FloatArray> GridFromImage(const pybind11::handle& image, const char* name,
                                          ChannelOrder order, int rows = -1, int columns = -1);

// Copies a float map of shape (rows, columns), or (rows, columns, 1), into a
// one-band grid; other real dtypes are converted to float32. `name` names it
// in messages.
std::unique_ptr<FloatArray> GridFromMap(const pybind11::handle& map, const char* name);

// The grid as a float32 array of shape (rows, columns, bands), or (rows,
// columns) for a one-band map, over the grid's own storage, which the array
// then owns.
enum class BandAxis { Keep, Drop };
pybind11::array_t<float> ArrayOwningGrid(std::unique_ptr<FloatArray> grid, BandAxis axis);

// One band of the grid, copied into a float32 array of shape (rows, columns).
pybind11::array_t<float> BandCopy(const FloatArray& grid, int band);

}  // namespace tavrel::python
