#include "kvelo/glue/station_table.hpp"

#include "kvelo/glue/pyutil.hpp"
#include "kvelo/glue/values.hpp"

namespace kvelo::glue {

using namespace pybind11::literals;

std::vector<py::object> unpack(py::handle value, size_t n) {
    py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(value.ptr()));
    if (!it) {
        // As the interpreter words it: only for a type that cannot iterate at
        // all (an __iter__ that raises keeps its own error), named by its
        // tp_name ("numpy.float64").
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    std::vector<py::object> items;
    auto next = [&]() {
        py::object item = py::reinterpret_steal<py::object>(PyIter_Next(it.ptr()));
        if (!item && PyErr_Occurred()) throw py::error_already_set();
        return item;
    };
    while (items.size() < n) {
        py::object item = next();
        if (!item) {
            raise(PyExc_ValueError,
                  fmt("not enough values to unpack (expected {}, got {})", n, items.size()));
        }
        items.push_back(std::move(item));
    }
    if (next()) {
        raise(PyExc_ValueError, fmt("too many values to unpack (expected {})", n));
    }
    return items;
}

std::optional<std::pair<py::object, py::object>> read_station_table(const Call& c, py::handle path,
                                                                    py::handle data_format,
                                                                    py::handle debug) {
    try {
        py::object result = c.g("read_data")(path, "data_format"_a = data_format, "debug"_a = debug,
                                             "return_units"_a = true);
        if (PyTuple_Check(result.ptr())) {
            std::vector<py::object> items = unpack(result, 2);
            return std::make_pair(items[0], items[1]);
        }
        return std::make_pair(result, py::object(py::dict()));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log_error(c, fmt("Could not load station data for plotting: {}", e.value()));
        return std::nullopt;
    }
}

}  // namespace kvelo::glue
