#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "engine/match_volume.h"
#include "engine/streamed_stages.h"

// L0 as rows: each row of the similarities (SAD) or of the moments
// (correlation) is made once, when the box means first need it, and the box
// means carry their column sums down the image, so every value goes through
// the same operations as in the whole-grid computation.
namespace tavrel::streamed {
namespace {

constexpr double kOneOver255 = 0.00392156862745098;
constexpr float kLowestMatchValue = 0.08f;

// Pixels that enter window sums: rows 9 .. R - 9, columns 9 .. C - 9.
struct ValidRegion {
  int rows = 0;
  int columns = 0;

  bool ContainsRow(int row) const { return row >= 9 && row <= rows - 9; }
  bool ContainsColumn(std::int64_t column) const { return column >= 9 && column <= columns - 9; }
};

// The clamp to 0.08 .. 1.0; NaN fails the lower test and becomes 0.08.
float Clamped(float v) {
  if (!(v >= kLowestMatchValue)) v = kLowestMatchValue;
  if (v > 1.0f) v = 1.0f;
  return v;
}

bool ScaledRow(const JobShape& s, int row) {
  return row >= kPixelMargin && row <= s.rows - kPixelMargin - 1;
}

// Zeroes the cells of one row of a volume that lie outside its interior,
// as ClearOutsideInterior does for the whole volume.
void ClearOutsideInteriorRow(const JobShape& s, int row, float* cells) {
  const Interior interior = InteriorOf(s.rows, s.columns, s.disparities);
  const int d = s.disparities;
  if (!interior.ContainsRow(row)) {
    std::fill_n(cells, s.RowSize(), 0.0f);
    return;
  }
  const int lowEnd = std::min(interior.firstIndex, d);
  const int highBegin = std::max(std::max(interior.lastIndex + 1, 0), lowEnd);
  for (int c = 0; c < s.columns; ++c) {
    float* pixel = cells + static_cast<std::ptrdiff_t>(c) * d;
    if (!interior.ContainsColumn(c)) {
      std::fill_n(pixel, d, 0.0f);
      continue;
    }
    std::fill(pixel, pixel + lowEnd, 0.0f);
    std::fill(pixel + highBegin, pixel + d, 0.0f);
  }
}

}  // namespace

// Makes the rows of L0 before the clear, in ascending order.
class InitialValuesStage::Producer {
 public:
  virtual ~Producer() = default;
  virtual void Make(int row, float* out) = 0;
};

namespace {

// SAD: the box mean of the band-averaged similarities, then the scaling
// against the background level (the mean over the indices, box averaged
// with radius r + 1). The background of row i needs L0 rows up to i + r + 1,
// so r + 2 rows of unscaled L0 are kept.
class SadProducer : public InitialValuesStage::Producer {
 public:
  SadProducer(const JobShape& s, const FloatArray& image0, const FloatArray& image1,
              Threads threads)
      : s_(s),
        image0_(image0),
        image1_(image1),
        threads_(threads),
        similarities_(
            SimilarityShape(s), [this](int row, float* out) { Similarities(row, out); }, threads),
        unscaled_(UnscaledRows(s), s.RowSize()),
        background_(
            BackgroundShape(s), [this](int row, float* out) { Means(row, out); }, threads),
        backgroundRow_(static_cast<std::size_t>(s.columns)) {}

  static StreamedBox::Shape SimilarityShape(const JobShape& s) {
    return {s.rows, s.columns, s.disparities, s.winRadL0, true};
  }
  static StreamedBox::Shape BackgroundShape(const JobShape& s) {
    return {s.rows, s.columns, 1, s.winRadL0 + 1, true};
  }
  static int UnscaledRows(const JobShape& s) { return s.winRadL0 + 2; }

  static std::size_t Bytes(const JobShape& s) {
    return StreamedBox::Bytes(SimilarityShape(s)) + StreamedBox::Bytes(BackgroundShape(s)) +
           RowRing::Bytes(UnscaledRows(s), s.RowSize()) +
           static_cast<std::size_t>(s.columns) * sizeof(float);
  }

  void Make(int row, float* out) override {
    background_.Row(row, backgroundRow_.data());
    const float* unscaled = unscaled_.Row(row);
    std::copy_n(unscaled, s_.RowSize(), out);
    if (!ScaledRow(s_, row)) return;
    const int d = s_.disparities;
    for (int c = kPixelMargin; c <= s_.columns - kPixelMargin - 1; ++c) {
      float m = backgroundRow_[c];
      if (m > s_.maxScaler) m = s_.maxScaler;
      float* pixel = out + static_cast<std::ptrdiff_t>(c) * d;
      for (int k = 0; k < d; ++k) {
        const float v = static_cast<float>((static_cast<double>(pixel[k]) - m) / (1.0 - m));
        pixel[k] = Clamped(v);
      }
    }
  }

 private:
  // Similarity 1 - |I0 - I1| / 255 averaged over the bands, for pixel pairs
  // inside the valid region, 0 elsewhere.
  void Similarities(int row, float* out) const {
    const ValidRegion valid{s_.rows, s_.columns};
    const int d = s_.disparities;
    const int bands = s_.bands;
    std::fill_n(out, s_.RowSize(), 0.0f);
    if (!valid.ContainsRow(row)) return;
    const int threads = ThreadsFor(static_cast<std::ptrdiff_t>(s_.RowSize()) * bands, threads_);
#pragma omp parallel for num_threads(threads) schedule(static)
    for (int c = 9; c <= s_.columns - 9; ++c) {
      float* pixel = out + static_cast<std::ptrdiff_t>(c) * d;
      for (int k = 0; k < d; ++k) {
        const std::int64_t c1 = static_cast<std::int64_t>(c) + s_.minDisparity + k;
        if (!valid.ContainsColumn(c1)) continue;
        float t = 0.0f;
        for (int b = 0; b < bands; ++b) {
          const double difference =
              static_cast<double>(image0_.At(row, c, b)) - image1_.At(row, static_cast<int>(c1), b);
          t = static_cast<float>(t + (1.0 - std::fabs(difference) * kOneOver255));
        }
        pixel[k] = static_cast<float>(static_cast<double>(t) / bands);
      }
    }
  }

  // The mean over the indices of one row of unscaled L0, which is made and
  // kept here for the scaling.
  void Means(int row, float* out) {
    float* unscaled = unscaled_.Make(row);
    similarities_.Row(row, unscaled);
    const int d = s_.disparities;
    for (int c = 0; c < s_.columns; ++c) {
      const float* pixel = unscaled + static_cast<std::ptrdiff_t>(c) * d;
      float mean = 0.0f;
      for (int k = 0; k < d; ++k) mean = static_cast<float>(static_cast<double>(mean) + pixel[k]);
      out[c] = static_cast<float>(static_cast<double>(mean) / d);
    }
  }

  const JobShape& s_;
  const FloatArray& image0_;
  const FloatArray& image1_;
  Threads threads_;
  StreamedBox similarities_;
  RowRing unscaled_;
  StreamedBox background_;
  std::vector<float> backgroundRow_;
};

// Normalized correlation: box means of the masked images (bands 2b, 2b + 1)
// and of the moments a * a, v * v, v * a of every index (bands 3b .. 3b + 2
// of each index), then per index the covariance over the deviations.
class CorrelationProducer : public InitialValuesStage::Producer {
 public:
  CorrelationProducer(const JobShape& s, const FloatArray& image0, const FloatArray& image1,
                      Threads threads)
      : s_(s),
        image0_(image0),
        image1_(image1),
        threads_(threads),
        means_(
            MeansShape(s), [this](int row, float* out) { MaskedImages(row, out); }, threads),
        moments_(
            MomentsShape(s), [this](int row, float* out) { Moments(row, out); }, threads),
        meansRow_(static_cast<std::size_t>(s.columns) * 2 * s.bands),
        momentsRow_(MomentsRowSize(s)) {}

  static StreamedBox::Shape MeansShape(const JobShape& s) {
    return {s.rows, s.columns, 2 * s.bands, s.winRadL0, true};
  }
  static StreamedBox::Shape MomentsShape(const JobShape& s) {
    return {s.rows, s.columns, s.disparities * 3 * s.bands, s.winRadL0, true};
  }
  static std::size_t MomentsRowSize(const JobShape& s) { return s.RowSize() * 3 * s.bands; }

  static std::size_t Bytes(const JobShape& s) {
    return StreamedBox::Bytes(MeansShape(s)) + StreamedBox::Bytes(MomentsShape(s)) +
           (static_cast<std::size_t>(s.columns) * 2 * s.bands + MomentsRowSize(s)) * sizeof(float);
  }

  void Make(int row, float* out) override {
    means_.Row(row, meansRow_.data());
    moments_.Row(row, momentsRow_.data());
    const int d = s_.disparities;
    const int bands = s_.bands;
    const float* means = meansRow_.data();
    float* moments = momentsRow_.data();
    const bool scaled = ScaledRow(s_, row);
    const int threads = ThreadsFor(static_cast<std::ptrdiff_t>(s_.RowSize()) * 3 * bands, threads_);
#pragma omp parallel for num_threads(threads) schedule(static)
    for (int c = 0; c < s_.columns; ++c) {
      for (int k = 0; k < d; ++k) {
        const std::int64_t c1 = static_cast<std::int64_t>(c) + s_.minDisparity + k;
        const bool inside = c1 >= 0 && c1 < s_.columns;
        float* cell = moments + (static_cast<std::size_t>(c) * d + k) * 3 * bands;
        float sum = 0.0f;
        for (int b = 0; b < bands; ++b) {
          const double mu0 = means[static_cast<std::size_t>(c) * 2 * bands + 2 * b];
          const double mu1 =
              inside ? means[static_cast<std::size_t>(c1) * 2 * bands + 2 * b + 1] : 0.0f;
          float& variance0 = cell[3 * b];
          float& variance1 = cell[3 * b + 1];
          float& covariance = cell[3 * b + 2];
          variance0 = static_cast<float>(variance0 - mu0 * mu0);
          variance1 = static_cast<float>(variance1 - mu1 * mu1);
          covariance = static_cast<float>(covariance - mu0 * mu1);
          const double q = static_cast<double>(variance0) * variance1;
          if (q != 0.0) sum = static_cast<float>(sum + covariance / std::sqrt(q));
        }
        float v = static_cast<float>(static_cast<double>(sum) / bands);
        if (scaled && c >= kPixelMargin && c <= s_.columns - kPixelMargin - 1) v = Clamped(v);
        out[static_cast<std::size_t>(c) * d + k] = v;
      }
    }
  }

 private:
  void MaskedImages(int row, float* out) const {
    const ValidRegion valid{s_.rows, s_.columns};
    const int bands = s_.bands;
    std::fill_n(out, static_cast<std::size_t>(s_.columns) * 2 * bands, 0.0f);
    if (!valid.ContainsRow(row)) return;
    for (int c = 9; c <= s_.columns - 9; ++c) {
      for (int b = 0; b < bands; ++b) {
        out[static_cast<std::size_t>(c) * 2 * bands + 2 * b] = image0_.At(row, c, b);
        out[static_cast<std::size_t>(c) * 2 * bands + 2 * b + 1] = image1_.Get(row, c, b);
      }
    }
  }

  void Moments(int row, float* out) const {
    const ValidRegion valid{s_.rows, s_.columns};
    const int d = s_.disparities;
    const int bands = s_.bands;
    std::fill_n(out, MomentsRowSize(s_), 0.0f);
    if (!valid.ContainsRow(row)) return;
    const int threads = ThreadsFor(static_cast<std::ptrdiff_t>(MomentsRowSize(s_)), threads_);
#pragma omp parallel for num_threads(threads) schedule(static)
    for (int c = 9; c <= s_.columns - 9; ++c) {
      for (int k = 0; k < d; ++k) {
        const std::int64_t c1 = static_cast<std::int64_t>(c) + s_.minDisparity + k;
        if (!valid.ContainsColumn(c1)) continue;
        float* cell = out + (static_cast<std::size_t>(c) * d + k) * 3 * bands;
        for (int b = 0; b < bands; ++b) {
          const double a = image0_.At(row, c, b);
          const double v = image1_.At(row, static_cast<int>(c1), b);
          cell[3 * b] = static_cast<float>(a * a);
          cell[3 * b + 1] = static_cast<float>(v * v);
          cell[3 * b + 2] = static_cast<float>(v * a);
        }
      }
    }
  }

  const JobShape& s_;
  const FloatArray& image0_;
  const FloatArray& image1_;
  Threads threads_;
  StreamedBox means_;
  StreamedBox moments_;
  std::vector<float> meansRow_;
  std::vector<float> momentsRow_;
};

}  // namespace

InitialValuesStage::InitialValuesStage(const JobShape& shape, const FloatArray& image0,
                                       const FloatArray& image1, int keep, Threads threads)
    : shape_(shape), ring_(keep, shape.RowSize()) {
  if (shape.sad) {
    producer_ = std::make_unique<SadProducer>(shape_, image0, image1, threads);
  } else {
    producer_ = std::make_unique<CorrelationProducer>(shape_, image0, image1, threads);
  }
}

InitialValuesStage::~InitialValuesStage() = default;

std::size_t InitialValuesStage::Bytes(const JobShape& shape, int keep) {
  const std::size_t producer =
      shape.sad ? SadProducer::Bytes(shape) : CorrelationProducer::Bytes(shape);
  return producer + RowRing::Bytes(keep, shape.RowSize());
}

void InitialValuesStage::ShowWholeRows(std::function<void(int, const float*)> whole) {
  whole_ = std::move(whole);
}

const float* InitialValuesStage::Row(int row) {
  while (ring_.newest() < row) {
    const int next = ring_.newest() + 1;
    float* cells = ring_.Make(next);
    producer_->Make(next, cells);
    if (whole_) whole_(next, cells);
    ClearOutsideInteriorRow(shape_, next, cells);
  }
  return ring_.Row(row);
}

}  // namespace tavrel::streamed
