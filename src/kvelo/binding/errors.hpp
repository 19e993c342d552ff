// Raising Python errors from C++, and the one translation of a C++ exception
// that ends a call into the Python error it stands for.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace kvelo::binding {

namespace py = pybind11;

// Raises `type(msg)` with `msg` kept as Python text (any str, lone surrogates
// included).
[[noreturn]] void raise(PyObject* type, py::handle msg);

// Sets the Python error for a C++ exception that ends a call of `qualname`,
// so that no C++ or binding-library wording reaches the user: a failed
// conversion becomes TypeError, a failed allocation MemoryError, and any other
// C++ failure "<qualname>() failed on an internal error".  Call from a catch
// block (it rethrows the exception in flight to classify it).
void set_error_from_exception(const std::string& qualname);
// The same error, fetched: for a caller that reports it or lets it pass.
py::error_already_set error_from_exception(const std::string& qualname);

}  // namespace kvelo::binding
