// evaluate: the library's scorer, with tavrel-score's figures under its JSON keys.

#include "python/evaluation_api.h"

#include <cmath>
#include <memory>
#include <string>

#include "evaluation/scorer.h"
#include "python/image_arrays.h"
#include "python/python_errors.h"

namespace tavrel::python {
namespace {

namespace py = pybind11;

using Loader = std::unique_ptr<FloatArray> (*)(const std::string&);

// A map given as an array, or as a file name read by the scorer's own loader.
std::unique_ptr<FloatArray> MapArgument(const py::object& map, const char* name, Loader load) {
  if (!py::isinstance<py::str>(map)) return GridFromMap(map, name);
  const std::string path = map.cast<std::string>();
  RequireExisting(path, "cannot read " + path);
  try {
    return load(path);
  } catch (const std::runtime_error& failure) {
    throw py::value_error(failure.what());
  }
}

// A figure without a value (NaN) is None, as tavrel-score's JSON has null.
py::object Figure(double value) {
  if (std::isnan(value)) return py::none();
  return py::float_(value);
}

py::dict Evaluate(const py::object& disparity, const py::object& groundTruth,
                  const py::object& mask, int border, bool sameSign, int maskValue) {
  const auto disparityGrid = MapArgument(disparity, "disparity", &LoadDisparityMap);
  const auto truthGrid = MapArgument(groundTruth, "ground truth", &LoadGroundTruth);
  std::unique_ptr<FloatArray> maskGrid;
  if (!mask.is_none()) maskGrid = MapArgument(mask, "mask", &LoadMask);
  ScoreParameters parameters;
  parameters.border = border;
  parameters.maskValue = maskValue;
  parameters.sameSign = sameSign;
  Score score;
  {
    py::gil_scoped_release released;
    score = ScoreDisparity(*disparityGrid, *truthGrid, maskGrid.get(), parameters);
  }
  py::dict figures;
  figures["bad0.5"] = Figure(score.bad0_5);
  figures["bad1"] = Figure(score.bad1);
  figures["bad2"] = Figure(score.bad2);
  figures["bad4"] = Figure(score.bad4);
  figures["mae"] = Figure(score.mae);
  figures["rms"] = Figure(score.rms);
  figures["a50"] = Figure(score.a50);
  figures["a90"] = Figure(score.a90);
  figures["a95"] = Figure(score.a95);
  figures["a99"] = Figure(score.a99);
  figures["coverage"] = Figure(score.coverage);
  figures["pixels"] = py::int_(score.evaluatedPixels);
  return figures;
}

}  // namespace

void BindEvaluation(py::module_& m) {
  m.def("evaluate", &Evaluate, py::arg("disparity"), py::arg("ground_truth"),
        py::arg("mask") = py::none(), py::kw_only(), py::arg("border") = 10,
        py::arg("same_sign") = false, py::arg("mask_value") = 255,
        "tavrel-score's figures as a dict with its JSON keys (bad0.5, bad1, bad2, bad4, mae, "
        "rms, a50, a90, a95, a99, coverage: percentages and pixels; pixels: the evaluated "
        "count; None where a figure has no value). Maps are (rows, columns) arrays or file "
        "names (an output file or PFM; a PFM ground truth; a PGM or PNG mask). The ground "
        "truth is in the benchmarks' positive sign unless same_sign; pixels within `border` "
        "of an edge, with an unknown ground truth, or (with a mask) whose mask value is not "
        "mask_value are left out.");
}

}  // namespace tavrel::python
