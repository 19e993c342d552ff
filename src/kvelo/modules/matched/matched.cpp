// Matched observation-model tables on disk: a CSV without index column, or a
// NetCDF dataset over the station_id x time grid.
#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/module.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/libraries.hpp"
#include "kvelo/shared/log.hpp"
#include "kvelo/shared/tables.hpp"

namespace py = pybind11;
using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

// str(output_base) + extension, kept as Python text: a name with
// surrogate-escaped bytes is written as Python's open writes it.
py::object with_extension(const py::object& output_base, const char* extension) {
    PyObject* joined = PyUnicode_Concat(py::str(output_base).ptr(), py::str(extension).ptr());
    if (joined == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(joined);
}

py::object save_matched_data(const Call& c) {
    const auto [matched_list, output_base, save_data_format, debug] =
        c.args("matched_list", "output_base", "save_data_format", "debug");
    start_banner(c, debug, "save_matched_data");
    if (!truthy(matched_list)) {
        print_out(c, py::str("[WARN] No matched data to save."));
        return py::none();
    }
    py::object df = c.g("pd").attr("DataFrame")(matched_list);
    if (equals(save_data_format, py::str("csv"))) {
        py::object csv_file = with_extension(output_base, ".csv");
        df.attr("to_csv")(csv_file, "index"_a = false);
        if (truthy(debug)) log_debug(c, fmt("Saved matched data to {}", csv_file));
    } else {
        py::object nc_file = with_extension(output_base, ".nc");
        py::list keys;
        keys.append("station_id");
        keys.append("time");
        df.attr("set_index")(keys).attr("to_xarray")().attr("to_netcdf")(nc_file);
        if (truthy(debug)) log_debug(c, fmt("Saved matched data to {}", nc_file));
    }
    end_banner(c, debug, "save_matched_data");
    return py::none();
}

py::object load_matched_data(const Call& c) {
    const py::object& file_path = c.arg("file_path");
    const py::object& debug = c.arg("debug");
    start_banner(c, debug, "load_matched_data");
    if (!truthy(c.g("os").attr("path").attr("isfile")(file_path))) {
        print_out(c, fmt("[ERROR] Matched data file not found: {}", file_path));
        return py::none();
    }
    py::object df;
    if (truthy(file_path.attr("endswith")(".csv"))) {
        df = c.g("pd").attr("read_csv")(file_path);
    } else if (truthy(file_path.attr("endswith")(".nc"))) {
        df = read_netcdf_table(c, file_path);
    } else {
        print_out(c, fmt("[ERROR] Unsupported file format: {}", file_path));
        return py::none();
    }
    if (truthy(debug)) log_debug(c, fmt("Loaded matched data: {}", file_path));
    end_banner(c, debug, "load_matched_data");
    return df.attr("copy")();
}

}  // namespace

KVELO_MODULE(matched, m) {
    import_base_libraries(m);
    import_names(m, "kvelo.py.io", {"read_data", "save_data"});

    def(m, {.name = "load_matched_data",
            .params = {"file_path", {"debug", py::bool_(false)}},
            .impl = load_matched_data,
            .doc = "Load previously saved matched data."});
    def(m, {.name = "save_matched_data",
            .params = {"matched_list",
                       "output_base",
                       {"save_data_format", py::str("csv")},
                       {"debug", py::bool_(false)}},
            .impl = save_matched_data,
            .doc = "Save matched model-station data to CSV or NetCDF."});
}
