// Module set-up: the entry point of every extension module of the package, and
// the imports a module body binds as its globals.
//
// pybind11's own PYBIND11_MODULE wraps any error raised while the module body
// runs in ImportError("initialization failed"), with the real error only as
// its __cause__.  A module body here imports libraries and sibling names, and
// its caller must see the error that import raised: ModuleNotFoundError for a
// missing library, the "cannot import name ..." ImportError for a missing
// name.  KVELO_MODULE builds the same multi-phase entry point and lets the
// error through unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <new>

namespace kvelo::binding {

namespace py = pybind11;

// `import <module> as <alias>`: binds the imported module itself under `alias`.
py::object import_as(py::module_& m, const char* module, const char* alias);
// `from <module> import <name> [as alias]`: ImportError when the name is missing.
py::object import_from(py::module_& m, const char* module, const char* name,
                       const char* alias = nullptr);
// Several `from <module> import a, b, c` in one line.
void import_names(py::module_& m, const char* module, std::initializer_list<const char*> names);

// Runs the module body; on error leaves the exception set and returns -1.
template <void (*Body)(pybind11::module_&)>
int exec_module(PyObject* pm) {
    try {
        pybind11::detail::ensure_internals();
        auto m = pybind11::reinterpret_borrow<pybind11::module_>(pm);
        Body(m);
        return 0;
    } catch (pybind11::error_already_set& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        // A failure of our own: named as such, not by its C++ text.
        const char* name = PyModule_GetName(pm);
        if (name == nullptr) {
            PyErr_Clear();
            name = "the module";
        }
        PyErr_Format(PyExc_ImportError, "%s failed to load on an internal error", name);
    }
    return -1;
}

}  // namespace kvelo::binding

#define KVELO_MODULE(name, variable)                                                              \
    static void kvelo_module_body_##name(::pybind11::module_&);                                   \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                        \
        static PyModuleDef_Slot slots[] = {                                                       \
            {Py_mod_exec,                                                                         \
             reinterpret_cast<void*>(&::kvelo::binding::exec_module<kvelo_module_body_##name>)},  \
            {0, nullptr}};                                                                        \
        static PyModuleDef def = {                                                                \
            PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr}; \
        return PyModuleDef_Init(&def);                                                            \
    }                                                                                             \
    static void kvelo_module_body_##name(::pybind11::module_& variable)
