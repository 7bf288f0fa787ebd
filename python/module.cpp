// The Python module `tavrel`: numpy arrays in and out of the engine, and the
// programs' files, with the same bits as the programs produce.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "python/evaluation_api.h"
#include "python/files_api.h"
#include "python/isa_api.h"
#include "python/matching.h"
#include "python/python_errors.h"

PYBIND11_MODULE(tavrel, module) {
  module.doc() = "Dense two-view stereo by a cooperative algorithm over a 3-D match volume.";
  module.attr("__version__") = TAVREL_VERSION;
  // pybind11 looks numpy's C interface up on first use, behind a static
  // guard; two threads using it first at once would wait for each other, one
  // on the guard holding the GIL, the other for the GIL inside numpy's import.
  // Using it here, while the import holds the GIL, settles it.
  pybind11::array_t<float>(0);
  tavrel::python::RegisterErrorTranslation();
  tavrel::python::DefineWarningCategory(module);
  tavrel::python::BindMatching(module);
  tavrel::python::BindFiles(module);
  tavrel::python::BindEvaluation(module);
  tavrel::python::BindIsaPaths(module);
}
