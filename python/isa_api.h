#pragma once

#include <pybind11/pybind11.h>

namespace tavrel::python {

void BindIsaPaths(pybind11::module_& module);

}  // namespace tavrel::python
