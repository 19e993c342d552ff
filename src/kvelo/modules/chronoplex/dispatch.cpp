#include "kvelo/glue/pyutil.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::glue;

void dispatch_run(const Call&, py::object, py::object) {
    PyErr_SetString(PyExc_NotImplementedError, "the run dispatch is not available yet");
    throw py::error_already_set();
}

}  // namespace kvelo::chronoplex
