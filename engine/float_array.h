#pragma once

#include <cstddef>
#include <memory>

namespace tavrel {

// A dense grid of 32-bit floats addressed by (row, column, band). Element
// (row, column, band) lives at index (columns * row + column) * bands + band:
// the bands of one pixel are adjacent, then the columns of a row, then the rows.
//
// Images (one band per colour band), match volumes (one band per disparity
// index) and result maps all live in this one container. Grids are handed
// around by reference and never copied implicitly.
class FloatArray {
 public:
  // Allocates columns * rows * bands floats and leaves them uninitialised: every
  // user that needs zeros clears the grid itself. Throws std::invalid_argument
  // for a negative size and std::bad_alloc when the storage cannot be had.
  FloatArray(int columns, int rows, int bands);

  FloatArray(const FloatArray&) = delete;
  FloatArray& operator=(const FloatArray&) = delete;
  // A moved-from grid is empty (0 x 0 x 0), so its guarded access stays safe.
  FloatArray(FloatArray&& other) noexcept;
  FloatArray& operator=(FloatArray&& other) noexcept;

  int columns() const { return columns_; }
  int rows() const { return rows_; }
  int bands() const { return bands_; }
  std::size_t size() const { return static_cast<std::size_t>(columns_) * rows_ * bands_; }
  // The number of floats the storage holds: size() or more after Reshape.
  std::size_t capacity() const { return capacity_; }

  // Gives the grid a new shape over the storage it has, when that holds
  // columns * rows * bands floats: the element values are then unspecified
  // and true is returned. Otherwise (or for a negative size) nothing changes
  // and the result is false.
  bool Reshape(int columns, int rows, int bands);

  float* data() { return data_.get(); }
  const float* data() const { return data_.get(); }

  std::size_t Index(int row, int column, int band) const {
    return (static_cast<std::size_t>(columns_) * row + column) * bands_ + band;
  }
  bool Contains(int row, int column, int band) const {
    return row >= 0 && row < rows_ && column >= 0 && column < columns_ && band >= 0 &&
           band < bands_;
  }

  // Unchecked access, for loops whose ranges already keep inside the grid.
  float& At(int row, int column, int band) { return data_[Index(row, column, band)]; }
  float At(int row, int column, int band) const { return data_[Index(row, column, band)]; }

  // Guarded access: Get gives 0.0 and Set does nothing outside the grid.
  float Get(int row, int column, int band) const;
  void Set(int row, int column, int band, float value);

  void Fill(float value);

  // In-place box filters over each band's row-by-column plane, with running sums
  // so that the cost per cell does not depend on the radius. The radius must be
  // 0 or more (std::invalid_argument otherwise).
  void BoxSum(int radius);
  void BoxMean(int radius);

 private:
  std::unique_ptr<float[]> data_;
  std::size_t capacity_ = 0;
  int columns_ = 0;
  int rows_ = 0;
  int bands_ = 0;
};

}  // namespace tavrel
