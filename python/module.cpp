// The Python module `tavrel`: numpy arrays in and out of the engine, and the
// programs' files, with the same bits as the programs produce.

#include <pybind11/pybind11.h>

#include "python/evaluation_api.h"
#include "python/files_api.h"
#include "python/matching.h"
#include "python/python_errors.h"

PYBIND11_MODULE(tavrel, module) {
  module.doc() = "Dense two-view stereo by a cooperative algorithm over a 3-D match volume.";
  module.attr("__version__") = TAVREL_VERSION;
  tavrel::python::RegisterErrorTranslation();
  tavrel::python::BindMatching(module);
  tavrel::python::BindFiles(module);
  tavrel::python::BindEvaluation(module);
}
