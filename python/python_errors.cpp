#include "python/python_errors.h"

#include <pybind11/pybind11.h>

#include <filesystem>

namespace tavrel::python {

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
    }
  });
}

}  // namespace tavrel::python
