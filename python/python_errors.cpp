#include "python/python_errors.h"

#include <pybind11/pybind11.h>

#include <filesystem>

#include "engine/isa_path.h"

namespace tavrel::python {
namespace {

PyObject* warningCategory = nullptr;

}  // namespace

void RequireExisting(const std::string& path, const std::string& message) {
  std::error_code error;
  // symlink_status: a dangling link exists as a name, and opening it is what fails.
  if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
    throw FileMissing(message);
  }
}

void RegisterErrorTranslation() {
  pybind11::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const FileMissing& e) {
      PyErr_SetString(PyExc_FileNotFoundError, e.what());
    } catch (const FileFailure& e) {
      PyErr_SetString(PyExc_OSError, e.what());
    } catch (const OutOfMemory& e) {
      PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const WrongType& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const IsaPathError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });
}

void DefineWarningCategory(pybind11::module_& module) {
  // Held for the life of the process, as the module's own types are.
  warningCategory = PyErr_NewExceptionWithDoc(
      "tavrel.TavrelWarning", "Something in a job that is likely a mistake but does not stop it.",
      PyExc_UserWarning, nullptr);
  if (warningCategory == nullptr) throw pybind11::error_already_set();
  module.add_object("TavrelWarning", pybind11::handle(warningCategory));
}

PyObject* WarningCategory() { return warningCategory; }

}  // namespace tavrel::python
