// Reading a station table through the io sibling, and Python's unpacking of
// a result into a fixed number of items.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <utility>
#include <vector>

#include "kvelo/glue/function.hpp"

namespace kvelo::glue {

namespace py = pybind11;

// `a, b, ... = value` for `n` names: the items of any iterable, or the
// interpreter's own TypeError / ValueError (raised as error_already_set) for a
// non-iterable or a wrong count.
std::vector<py::object> unpack(py::handle value, size_t n);

// read_data(path, data_format=..., debug=..., return_units=True) through the
// module's `read_data`, split into (table, units): a tuple (or a tuple
// subtype) must hold exactly two items, anything else is the table itself
// with an empty units dict.  An error of the Exception family, the unpacking
// error included, is logged as "Could not load station data for plotting: {e}"
// and gives nullopt; other errors propagate.
std::optional<std::pair<py::object, py::object>> read_station_table(const Call& c, py::handle path,
                                                                    py::handle data_format,
                                                                    py::handle debug);

}  // namespace kvelo::glue
