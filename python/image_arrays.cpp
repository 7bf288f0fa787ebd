#include "python/image_arrays.h"

#include <algorithm>
#include <string>

#include "python/python_errors.h"

namespace tavrel::python {
namespace {

namespace py = pybind11;

std::string ShapeText(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < array.ndim(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(array.shape(i));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

std::string DtypeText(const py::array& array) { return py::str(array.dtype()).cast<std::string>(); }

py::array AsArray(const py::handle& object, const char* name) {
  if (!py::isinstance<py::array>(object)) {
    throw WrongType(std::string(name) + " must be a numpy array, not " +
                    py::str(py::type::of(object).attr("__name__")).cast<std::string>());
  }
  return py::reinterpret_borrow<py::array>(object);
}

bool IsFloat32(const py::array& array) {
  return array.dtype().kind() == 'f' && array.dtype().itemsize() == 4;
}

bool IsUint8(const py::array& array) {
  return array.dtype().kind() == 'u' && array.dtype().itemsize() == 1;
}

// Pixel dimensions beyond what a grid can address are refused, so that
// the conversions below cannot overflow.
int Dimension(const py::array& array, int axis, const char* name) {
  const py::ssize_t extent = array.shape(axis);
  if (extent > std::numeric_limits<int>::max() / 4) {
    throw py::value_error(std::string(name) + " is too large " + ShapeText(array));
  }
  return static_cast<int>(extent);
}

template <typename Pixel>
std::unique_ptr<FloatArray> CopyIntoGrid(const py::array& image, int rows, int columns, int bands,
                                         ChannelOrder order) {
  auto contiguous = py::array_t<Pixel, py::array::c_style | py::array::forcecast>::ensure(image);
  if (!contiguous) throw py::error_already_set();
  const Pixel* pixels = contiguous.data();
  const std::size_t stride =
      static_cast<std::size_t>(contiguous.ndim() == 3 ? contiguous.shape(2) : 1);
  const std::size_t rowStride = static_cast<std::size_t>(contiguous.shape(1)) * stride;
  auto grid = std::make_unique<FloatArray>(columns, rows, bands);
  const bool swap = order == ChannelOrder::Rgb && bands == 3;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      const Pixel* pixel = pixels + r * rowStride + c * stride;
      for (int b = 0; b < bands; ++b) {
        grid->At(r, c, b) = static_cast<float>(pixel[swap ? 2 - b : b]);
      }
    }
  }
  return grid;
}

}  // namespace

ChannelOrder ParseChannelOrder(const std::string& name) {
  if (name == "bgr") return ChannelOrder::Bgr;
  if (name == "rgb") return ChannelOrder::Rgb;
  throw py::value_error("channel_order must be \"bgr\" or \"rgb\", not \"" + name + "\"");
}

std::unique_ptr<FloatArray> GridFromImage(const py::handle& object, const char* name,
                                          ChannelOrder order, int rows, int columns) {
  const py::array image = AsArray(object, name);
  const bool float32 = IsFloat32(image);
  if (!float32 && !IsUint8(image)) {
    throw WrongType(std::string(name) + " must be float32 or uint8, not " + DtypeText(image));
  }
  const bool shapeFits =
      image.ndim() == 2 ||
      (image.ndim() == 3 && (float32 || image.shape(2) == 1 || image.shape(2) == 3));
  if (!shapeFits) {
    throw py::value_error(std::string(name) + " must have the shape " +
                          (float32 ? "(rows, columns, bands) or (rows, columns)"
                                   : "(rows, columns), (rows, columns, 1) or (rows, columns, 3)") +
                          ", not " + ShapeText(image));
  }
  const int imageRows = Dimension(image, 0, name);
  const int imageColumns = Dimension(image, 1, name);
  const int bands = image.ndim() == 3 ? Dimension(image, 2, name) : 1;
  rows = rows < 0 ? imageRows : std::min(rows, imageRows);
  columns = columns < 0 ? imageColumns : std::min(columns, imageColumns);
  if (float32) return CopyIntoGrid<float>(image, rows, columns, bands, order);
  return CopyIntoGrid<std::uint8_t>(image, rows, columns, bands, order);
}

std::unique_ptr<FloatArray> GridFromMap(const py::handle& object, const char* name) {
  const py::array map = AsArray(object, name);
  const char kind = map.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u') {
    throw WrongType(std::string(name) + " must hold real numbers, not " + DtypeText(map));
  }
  if (!(map.ndim() == 2 || (map.ndim() == 3 && map.shape(2) == 1))) {
    throw py::value_error(std::string(name) + " must have the shape (rows, columns), not " +
                          ShapeText(map));
  }
  const int rows = Dimension(map, 0, name);
  const int columns = Dimension(map, 1, name);
  return CopyIntoGrid<float>(map, rows, columns, 1, ChannelOrder::Bgr);
}

py::array_t<float> ArrayOwningGrid(std::unique_ptr<FloatArray> grid, BandAxis axis) {
  const FloatArray& g = *grid;
  const auto itemSize = static_cast<py::ssize_t>(sizeof(float));
  std::vector<py::ssize_t> shape = {g.rows(), g.columns(), g.bands()};
  std::vector<py::ssize_t> strides = {itemSize * g.columns() * g.bands(), itemSize * g.bands(),
                                      itemSize};
  if (axis == BandAxis::Drop && g.bands() == 1) {
    shape.pop_back();
    strides.pop_back();
  }
  const float* data = g.data();
  py::capsule owner(grid.release(), [](void* p) { delete static_cast<FloatArray*>(p); });
  return py::array_t<float>(shape, strides, data, owner);
}

py::array_t<float> BandCopy(const FloatArray& grid, int band) {
  py::array_t<float> map({grid.rows(), grid.columns()});
  auto out = map.mutable_unchecked<2>();
  for (int r = 0; r < grid.rows(); ++r) {
    for (int c = 0; c < grid.columns(); ++c) out(r, c) = grid.At(r, c, band);
  }
  return map;
}

}  // namespace tavrel::python
