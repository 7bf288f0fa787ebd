#include "engine/float_array.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/stage_arithmetic.h"

namespace tavrel {
namespace {

// columns * rows * bands into `count` when the sizes are not negative and the
// product is at most `limit`; false otherwise, without overflow.
bool CountUpTo(int columns, int rows, int bands, std::size_t limit, std::size_t& count) {
  if (columns < 0 || rows < 0 || bands < 0) return false;
  count = static_cast<std::size_t>(columns);
  if (count > limit) return false;
  for (const int factor : {rows, bands}) {
    if (factor != 0 && count > limit / static_cast<std::size_t>(factor)) return false;
    count *= static_cast<std::size_t>(factor);
  }
  return true;
}

std::size_t ElementCount(int columns, int rows, int bands) {
  if (columns < 0 || rows < 0 || bands < 0) {
    throw std::invalid_argument("FloatArray: negative size " + std::to_string(columns) + " x " +
                                std::to_string(rows) + " x " + std::to_string(bands));
  }
  // An element count whose byte size cannot even be expressed is an allocation
  // that cannot succeed; report it the same way as one the system refuses.
  const std::size_t limit =
      static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(float);
  std::size_t count = 0;
  if (!CountUpTo(columns, rows, bands, limit, count)) throw std::bad_alloc();
  return count;
}

bool TooSmallForWindow(int size, int radius) {
  return static_cast<std::int64_t>(size) < 2 * static_cast<std::int64_t>(radius) + 1;
}

// Running box sum along one line of n elements, first[0], first[stride], ...
// Elements radius .. n - radius - 1 are replaced by the sum of the 2 * radius + 1
// input elements centred on them; the others are left alone. The sum is held in
// double along the whole line and updated by one subtraction and one addition
// per step, in that order; only the values parked in `line` (room for n floats)
// are rounded to float. The caller guarantees n >= 2 * radius + 1.
void BoxSumLine(float* first, std::ptrdiff_t stride, int n, int radius, float* line) {
  auto in = [first, stride](int k) -> double { return first[k * stride]; };
  double sum = in(0);
  for (int k = 1; k <= 2 * radius; ++k) sum += in(k);
  const int last = n - radius - 1;
  for (int i = radius; i <= last; ++i) {
    line[i] = static_cast<float>(sum);
    if (i < last) sum = SlideWindowSum(sum, in(i - radius), in(i + radius + 1));
  }
  // Written back only now: the running sum must read the input values.
  for (int i = radius; i <= last; ++i) first[i * stride] = line[i];
}

}  // namespace

FloatArray::FloatArray(int columns, int rows, int bands)
    : capacity_(ElementCount(columns, rows, bands)), columns_(columns), rows_(rows), bands_(bands) {
  data_ = std::make_unique_for_overwrite<float[]>(capacity_);
}

FloatArray::FloatArray(FloatArray&& other) noexcept
    : data_(std::move(other.data_)),
      capacity_(std::exchange(other.capacity_, 0)),
      columns_(std::exchange(other.columns_, 0)),
      rows_(std::exchange(other.rows_, 0)),
      bands_(std::exchange(other.bands_, 0)) {}

FloatArray& FloatArray::operator=(FloatArray&& other) noexcept {
  if (this != &other) {
    data_ = std::move(other.data_);
    capacity_ = std::exchange(other.capacity_, 0);
    columns_ = std::exchange(other.columns_, 0);
    rows_ = std::exchange(other.rows_, 0);
    bands_ = std::exchange(other.bands_, 0);
  }
  return *this;
}

bool FloatArray::Reshape(int columns, int rows, int bands) {
  std::size_t count = 0;
  if (!CountUpTo(columns, rows, bands, capacity_, count)) return false;
  columns_ = columns;
  rows_ = rows;
  bands_ = bands;
  return true;
}

float FloatArray::Get(int row, int column, int band) const {
  return Contains(row, column, band) ? At(row, column, band) : 0.0f;
}

void FloatArray::Set(int row, int column, int band, float value) {
  if (Contains(row, column, band)) At(row, column, band) = value;
}

void FloatArray::Fill(float value) { std::fill_n(data_.get(), size(), value); }

// Box sum of radius r on every band's plane: a column pass over the inner
// columns r .. C - r - 1 (each replaced in rows r .. R - r - 1 by its vertical
// window sums), then a row pass over the inner rows r .. R - r - 1 (columns
// r .. C - r - 1 replaced by horizontal window sums of what the column pass
// left). Edge columns thus enter the row sums with their input values, and
// edge cells keep them. One line buffer of max(R, C) floats serves the call.
void FloatArray::BoxSum(int radius) {
  if (radius < 0) {
    throw std::invalid_argument("BoxSum: negative radius " + std::to_string(radius));
  }
  // Without a single inner cell neither pass changes anything.
  if (TooSmallForWindow(rows_, radius) || TooSmallForWindow(columns_, radius)) return;

  std::vector<float> line(static_cast<std::size_t>(std::max(rows_, columns_)));
  const std::ptrdiff_t rowStride = static_cast<std::ptrdiff_t>(columns_) * bands_;
  const std::ptrdiff_t columnStride = bands_;
  for (int band = 0; band < bands_; ++band) {
    for (int column = radius; column <= columns_ - radius - 1; ++column) {
      BoxSumLine(&At(0, column, band), rowStride, rows_, radius, line.data());
    }
    for (int row = radius; row <= rows_ - radius - 1; ++row) {
      BoxSumLine(&At(row, 0, band), columnStride, columns_, radius, line.data());
    }
  }
}

// BoxSum(r), then division by w = (2r + 1)^2 (rounded to float) of every row,
// edge rows included, in the inner columns r .. C - r - 1 only.
void FloatArray::BoxMean(int radius) {
  BoxSum(radius);
  const double side = 2.0 * radius + 1.0;
  const float w = static_cast<float>(side * side);
  const std::int64_t lastColumn = static_cast<std::int64_t>(columns_) - radius - 1;
  for (int row = 0; row < rows_; ++row) {
    for (int column = radius; column <= lastColumn; ++column) {
      for (int band = 0; band < bands_; ++band) {
        float& cell = At(row, column, band);
        cell = static_cast<float>(static_cast<double>(cell) / w);
      }
    }
  }
}

}  // namespace tavrel
