#include "kvelo/glue/pyutil.hpp"

namespace kvelo::glue {

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
    py::object value = py::reinterpret_steal<py::object>(PyObject_GetAttrString(mod.ptr(), name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        py::dict modules = py::module_::import("sys").attr("modules");
        std::string full = std::string(module) + "." + name;
        if (modules.contains(full.c_str())) {
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

void import_base_libraries(py::module_& m) {
    for (const char* name : {"os", "re", "csv", "sys", "glob", "time", "cftime", "logging"}) {
        import_as(m, name, name);
    }
    import_as(m, "numpy", "np");
    import_as(m, "pandas", "pd");
    import_as(m, "xarray", "xr");
}

void import_plot_libraries(py::module_& m) {
    import_as(m, "seaborn", "sns");
    import_as(m, "cartopy.crs", "ccrs");
    import_as(m, "cartopy.feature", "cfeature");
    import_as(m, "matplotlib.colors", "mcolors");
    import_as(m, "matplotlib.colors", "colors");
    import_as(m, "matplotlib.ticker", "ticker");
    import_as(m, "matplotlib.dates", "mdates");
    import_as(m, "matplotlib.pyplot", "plt");
}

bool truthy(py::handle v) {
    int r = PyObject_IsTrue(v.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

namespace {
void log_at(const Call& c, const char* level, py::handle msg) { c.g("logging").attr(level)(msg); }
}  // namespace

void log_debug(const Call& c, py::handle msg) { log_at(c, "debug", msg); }
void log_info(const Call& c, py::handle msg) { log_at(c, "info", msg); }
void log_warning(const Call& c, py::handle msg) { log_at(c, "warning", msg); }
void log_error(const Call& c, py::handle msg) { log_at(c, "error", msg); }

void print(py::handle msg) { py::module_::import("builtins").attr("print")(msg); }

std::string start_banner_text(const std::string& name) {
    const std::string stars(24, '*');
    return "Start: " + stars + " " + name + " " + stars;
}

std::string end_banner_text(const std::string& name, EndForm form) {
    const std::string stars(24, '*');
    return std::string(form == EndForm::Wide ? "End:   " : "End: ") + stars + " " + name + " " +
           stars;
}

void start_banner(const Call& c, py::handle debug, const std::string& name) {
    if (truthy(debug)) log_debug(c, py::str(start_banner_text(name)));
}

void end_banner(const Call& c, py::handle debug, const std::string& name, EndForm form) {
    if (truthy(debug)) log_debug(c, py::str(end_banner_text(name, form)));
}

bool float_list_values(py::handle list, std::vector<double>& out) {
    // A list subclass may read differently through its own methods.
    if (!PyList_CheckExact(list.ptr())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list.ptr(), i);
        if (!PyFloat_Check(item)) return false;
        out[static_cast<size_t>(i)] = PyFloat_AS_DOUBLE(item);
    }
    return true;
}

py::object get(py::handle mapping, const char* key) { return mapping.attr("get")(key); }

py::object get(py::handle mapping, const char* key, py::handle default_value) {
    return mapping.attr("get")(key, default_value);
}

py::object read_netcdf_table(const Call& c, py::handle path, py::dict* units) {
    py::object ds = c.g("xr").attr("open_dataset")(path);
    py::object df;
    try {
        if (units != nullptr) {
            for (py::handle name : ds.attr("variables")) {
                py::object attrs = ds.attr("variables")[name].attr("attrs");
                if (attrs.contains("units")) (*units)[name] = attrs["units"];
            }
        }
        df = ds.attr("to_dataframe")().attr("reset_index")();
    } catch (...) {
        ds.attr("close")();
        throw;
    }
    ds.attr("close")();
    return df;
}

void save_each_format(const Call& c, py::handle save, py::handle stem, py::handle formats,
                      const char* announce, const py::dict& options) {
    for (py::handle word : formats) {
        py::str path = fmt("{}.{}", stem, word);
        save(path, **options);
        log_info(c, fmt("{}{}", announce, path));
    }
}

void save_each_format_300_tight(const Call& c, py::handle save, py::handle stem,
                                py::handle formats) {
    save_each_format(c, save, stem, formats,
                     "Saved: ", py::dict(py::arg("dpi") = 300, py::arg("bbox_inches") = "tight"));
}

FigureGuard::~FigureGuard() {
    if (!fig_) return;
    // An error in flight is held by its C++ exception object, so the
    // interpreter's error indicator is free for this call.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
        plt_.attr("close")(fig_);
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("closing a figure");
    } catch (...) {
    }
    PyErr_Restore(type, value, tb);
}

void FigureGuard::close() {
    if (!fig_) return;
    py::object fig = std::move(fig_);
    plt_.attr("close")(fig);
}

}  // namespace kvelo::glue
