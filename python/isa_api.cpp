// Which instruction-set path the engine runs on. Every path gives the same
// bits; TAVREL_ISA, read at the first computation, picks one below the
// fastest, for measuring and testing them.

#include "python/isa_api.h"

#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "engine/isa_path.h"

namespace tavrel::python {

void BindIsaPaths(pybind11::module_& m) {
  m.def(
      "isa_path", [] { return std::string(IsaPathName(ActiveIsaPath())); },
      "The instruction-set path the engine runs on (\"v4\", \"v3\" or \"baseline\"): the one "
      "TAVREL_ISA names, or the fastest this processor runs. ValueError for a TAVREL_ISA that "
      "does not exist or that this processor cannot run, as every computation raises.");
  m.def(
      "available_isa_paths",
      [] {
        std::vector<std::string> names;
        for (IsaPath path : AvailableIsaPaths()) names.emplace_back(IsaPathName(path));
        return names;
      },
      "The instruction-set paths this processor runs, fastest first.");
}

}  // namespace tavrel::python
