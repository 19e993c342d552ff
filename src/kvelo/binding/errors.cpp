#include "kvelo/binding/errors.hpp"

#include <new>
#include <stdexcept>
#include <string>

namespace kvelo::binding {

void raise(PyObject* type, py::handle msg) {
    PyErr_SetObject(type, msg.ptr());
    throw py::error_already_set();
}

namespace {

// The Python type named in a binding-library conversion message
// ("... instance of type <class 'str'> to ..."), or "".
std::string cast_source_type(const char* what) {
    const std::string w(what);
    const std::string open = "<class '";
    const size_t at = w.find(open);
    if (at == std::string::npos) return "";
    const size_t from = at + open.size();
    const size_t to = w.find('\'', from);
    return to == std::string::npos ? "" : w.substr(from, to - from);
}

// A message of the binding library itself, which speaks of C++ types and
// compile-time switches rather than of the call.
bool binding_wording(const char* what) {
    const std::string w(what);
    for (const char* mark : {"pybind11", "PYBIND11", "C++ type", "Unable to cast"}) {
        if (w.find(mark) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

void set_error_from_exception(const std::string& qualname) {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::cast_error& e) {
        const std::string type = cast_source_type(e.what());
        if (type.empty()) {
            PyErr_Format(PyExc_TypeError, "%s() got a value of a type it cannot use",
                         qualname.c_str());
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got a value of type '%s' that it cannot use",
                         qualname.c_str(), type.c_str());
        }
    } catch (py::builtin_exception& e) {
        if (binding_wording(e.what())) {
            PyErr_Format(PyExc_TypeError, "%s() got a value it cannot use", qualname.c_str());
        } else {
            e.set_error();
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more than it can hold: as an allocation
        // beyond memory, which the interpreter reports as MemoryError.
        PyErr_NoMemory();
    } catch (...) {
        // Any other C++ failure is an invariant of ours that broke: it is
        // named as ours, never by its C++ text.
        PyErr_Format(PyExc_RuntimeError, "%s() failed on an internal error", qualname.c_str());
    }
}

py::error_already_set error_from_exception(const std::string& qualname) {
    set_error_from_exception(qualname);
    return py::error_already_set();
}

}  // namespace kvelo::binding
