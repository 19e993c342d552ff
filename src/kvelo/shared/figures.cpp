#include "kvelo/shared/figures.hpp"

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::shared {

using binding::fmt;

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

}  // namespace kvelo::shared
