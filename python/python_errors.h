#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

namespace tavrel::python {

// Failures that Python knows by their own exception types. The glue throws
// these; a translator registered with the module turns them into
// FileNotFoundError, OSError and MemoryError carrying the same text.
class FileMissing : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that exists but cannot be opened, or cannot be written (OSError).
class FileFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class OutOfMemory : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The argument has a type the function cannot take (TypeError).
class WrongType : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws FileMissing with `message` when nothing exists at `path`.
void RequireExisting(const std::string& path, const std::string& message);

// Translates the exceptions above, and IsaPathError (a bad TAVREL_ISA) as
// ValueError.
void RegisterErrorTranslation();

// tavrel.TavrelWarning, a UserWarning: the category of what the library warns
// of (a likely mistake that does not stop the work). Defined with the module.
void DefineWarningCategory(pybind11::module_& module);
PyObject* WarningCategory();

}  // namespace tavrel::python
