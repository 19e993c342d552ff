#include "kvelo/binding/module.hpp"

#include <string>

#include "kvelo/binding/values.hpp"

namespace kvelo::binding {

py::object import_as(py::module_& m, const char* module, const char* alias) {
    py::object mod = py::module_::import(module);
    m.attr(alias) = mod;
    return mod;
}

py::object import_from(py::module_& m, const char* module, const char* name, const char* alias) {
    // As `from module import name`: the fromlist lets the import system load
    // a submodule of that name; then the name is read off the module, or off
    // sys.modules, and a miss raises the interpreter's own ImportError.
    py::tuple fromlist = py::make_tuple(py::str(name));
    py::object mod = py::reinterpret_steal<py::object>(
        PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
    if (!mod) throw py::error_already_set();
    py::object value = getattr_or(mod, name, py::handle());
    if (!value) {
        py::dict modules = py::module_::import("sys").attr("modules");
        std::string full = std::string(module) + "." + name;
        if (contains(modules, py::str(full))) {
            value = modules[full.c_str()];
        } else {
            py::object pkgname = getattr_or(mod, "__name__", py::none());
            py::object pkgpath = getattr_or(mod, "__file__", py::none());
            py::object shown =
                PyUnicode_Check(pkgname.ptr()) ? pkgname : py::str("<unknown module name>");
            py::str msg =
                PyUnicode_Check(pkgpath.ptr())
                    ? py::str("cannot import name {!r} from {!r} ({})").format(name, shown, pkgpath)
                    : py::str("cannot import name {!r} from {!r} (unknown location)")
                          .format(name, shown);
            PyErr_SetImportError(msg.ptr(),
                                 PyUnicode_Check(pkgname.ptr()) ? pkgname.ptr() : nullptr,
                                 PyUnicode_Check(pkgpath.ptr()) ? pkgpath.ptr() : nullptr);
            throw py::error_already_set();
        }
    }
    m.attr(alias ? alias : name) = value;
    return value;
}

void import_names(py::module_& m, const char* module, std::initializer_list<const char*> names) {
    for (const char* n : names) import_from(m, module, n);
}

}  // namespace kvelo::binding
