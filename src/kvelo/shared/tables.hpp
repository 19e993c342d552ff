// Reading tables: a station table through the io sibling, a NetCDF file as a
// table.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <utility>

#include "kvelo/binding/function.hpp"

namespace kvelo::shared {

namespace py = pybind11;
using binding::Call;

// read_data(path, data_format=..., debug=..., return_units=True) through the
// module's `read_data`, split into (table, units): a tuple (or a tuple
// subtype) must hold exactly two items, anything else is the table itself
// with an empty units dict.  An error of the Exception family, the unpacking
// error included, is logged as "Could not load station data for plotting: {e}"
// and gives nullopt; other errors propagate.
std::optional<std::pair<py::object, py::object>> read_station_table(const Call& c, py::handle path,
                                                                    py::handle data_format,
                                                                    py::handle debug);

// A NetCDF file opened with xarray's defaults, as a table: one row per element
// of its dimensions, dimension coordinates as ordinary columns.  The file is
// closed once the table holds its values.  With `units`, each variable that
// carries a "units" attribute gets an entry name -> that attribute.
py::object read_netcdf_table(const Call& c, py::handle path, py::dict* units = nullptr);

}  // namespace kvelo::shared
