#include "kvelo/shared/tables.hpp"

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::shared {

using namespace kvelo::binding;

using namespace pybind11::literals;

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

py::object read_netcdf_table(const Call& c, py::handle path, py::dict* units) {
    py::object ds = c.g("xr").attr("open_dataset")(path);
    py::object df;
    try {
        if (units != nullptr) {
            for (py::handle name : ds.attr("variables")) {
                py::object attrs = ds.attr("variables")[name].attr("attrs");
                if (contains(attrs, py::str("units"))) (*units)[name] = attrs["units"];
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

}  // namespace kvelo::shared
