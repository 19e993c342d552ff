// Sibling module io: reading and writing station time-series tables.
//
// CSV tables carry their units in the header: a column written as
// "O3_obs [ppb]" is read as the column "O3_obs" with the unit "ppb".
// NetCDF tables carry them in each variable's "units" attribute.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cctype>
#include <regex>
#include <string>
#include <utility>

#include "kvelo/glue/pyutil.hpp"
#include "kvelo/glue/module.hpp"

namespace py = pybind11;
using namespace kvelo::glue;

namespace {

enum class Format { Csv, NetCdf };

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return s;
}

Format choose_format(const std::string& path, py::handle data_format) {
    std::string word;
    if (!data_format.is_none()) {
        word = lower(str(data_format));
    } else {
        auto dot = path.find_last_of('.');
        auto slash = path.find_last_of("/\\");
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
            word = lower(path.substr(dot + 1));
        }
    }
    if (word == "csv") return Format::Csv;
    if (word == "nc" || word == "netcdf" || word == "netcdf4") return Format::NetCdf;
    std::string shown = data_format.is_none() ? word : str(data_format);
    throw py::value_error("Unsupported data format '" + shown + "' for " + path +
                          " (expected csv or netcdf)");
}

// Raises `exc_type(message)` with `cause` as its __cause__ (raise ... from cause).
[[noreturn]] void raise_from(PyObject* exc_type, const std::string& message,
                             const py::error_already_set& cause) {
    py::object err = py::reinterpret_borrow<py::object>(exc_type)(message);
    PyException_SetCause(err.ptr(), cause.value().inc_ref().ptr());
    PyErr_SetObject(exc_type, err.ptr());
    throw py::error_already_set();
}

std::pair<py::object, py::dict> read_csv(const std::string& path) {
    py::module_ pd = py::module_::import("pandas");
    py::dict units;
    py::object df = pd.attr("read_csv")(path);
    static const std::regex with_unit(R"(^(.*?)\s*\[(.*)\]\s*$)");
    py::dict renames;
    for (py::handle col : df.attr("columns")) {
        std::string name = str(col);
        std::smatch match;
        if (std::regex_match(name, match, with_unit)) {
            renames[col] = match[1].str();
            units[py::str(match[1].str())] = match[2].str();
        }
    }
    if (py::len(renames) > 0) df = df.attr("rename")(py::arg("columns") = renames);
    if (truthy(df.attr("columns").attr("__contains__")("time"))) {
        df.attr("__setitem__")("time", pd.attr("to_datetime")(df["time"]));
    }
    return {df, units};
}

std::pair<py::object, py::dict> read_netcdf(const std::string& path) {
    py::module_ xr = py::module_::import("xarray");
    py::dict units;
    py::object ds = xr.attr("open_dataset")(path);
    py::object df;
    try {
        for (py::handle name : ds.attr("variables")) {
            py::object attrs = ds[name].attr("attrs");
            if (truthy(attrs.attr("__contains__")("units"))) {
                units[name] = str(attrs["units"]);
            }
        }
        df = ds.attr("to_dataframe")().attr("reset_index")();
    } catch (...) {
        ds.attr("close")();
        throw;
    }
    ds.attr("close")();
    return {df, units};
}

py::object read_data(const Call& c) {
    py::module_ os = py::module_::import("os");
    std::string path = str(os.attr("fspath")(c[0]));
    Format format = choose_format(path, c[1]);
    if (!truthy(os.attr("path").attr("isfile")(path))) {
        PyErr_SetString(PyExc_FileNotFoundError, ("Station table not found: " + path).c_str());
        throw py::error_already_set();
    }
    std::pair<py::object, py::dict> table;
    try {
        table = format == Format::Csv ? read_csv(path) : read_netcdf(path);
    } catch (py::error_already_set& e) {
        // OS errors name their file already; a parser's error does not, and
        // a caller reading many tables needs to know which one failed.
        if (!e.matches(PyExc_Exception) || e.matches(PyExc_OSError)) throw;
        raise_from(PyExc_ValueError, "Cannot read station table " + path + ": " + str(e.value()),
                   e);
    }
    auto& [df, units] = table;
    if (truthy(c[2])) {
        log_debug(c, fmt("Read {} rows from {}", py::len(df), path));
    }
    if (truthy(c[3])) return py::make_tuple(df, units);
    return df;
}

py::object save_data(const Call& c) {
    py::object df = c[0];
    py::module_ os = py::module_::import("os");
    std::string path = str(os.attr("fspath")(c[1]));
    Format format = choose_format(path, c[2]);
    py::object units = c[3].is_none() ? py::object(py::dict()) : c[3];
    if (format == Format::Csv) {
        py::dict renames;
        for (py::handle col : df.attr("columns")) {
            py::object unit = units.attr("get")(col);
            if (!unit.is_none()) renames[col] = fmt("{} [{}]", col, unit);
        }
        df.attr("rename")(py::arg("columns") = renames)
            .attr("to_csv")(path, py::arg("index") = false);
    } else {
        py::list keys;
        for (const char* k : {"site_id", "time"}) {
            if (truthy(df.attr("columns").attr("__contains__")(k))) keys.append(k);
        }
        py::object indexed = py::len(keys) > 0 ? df.attr("set_index")(keys) : df;
        py::object ds = indexed.attr("to_xarray")();
        for (py::handle name : ds.attr("variables")) {
            py::object unit = units.attr("get")(name);
            if (!unit.is_none()) ds[name].attr("attrs")["units"] = unit;
        }
        ds.attr("to_netcdf")(path);
    }
    if (truthy(c[4])) log_debug(c, fmt("Saved {} rows to {}", py::len(df), path));
    return py::none();
}

}  // namespace

KVELO_MODULE(io, m) {
    import_as(m, "logging", "logging");
    def(m, {.name = "read_data",
            .params = {"file_path", {"data_format", py::none()}, {"debug", py::bool_(false)},
                       {"return_units", py::bool_(false)}},
            .impl = read_data,
            .doc = "read_data(file_path, data_format=None, debug=False, return_units=False)\n\n"
                   "Read a station time-series table (CSV or NetCDF); with return_units, "
                   "return (table, units)."});
    def(m, {.name = "save_data",
            .params = {"df", "file_path", {"data_format", py::none()}, {"units", py::none()},
                       {"debug", py::bool_(false)}},
            .impl = save_data,
            .doc = "save_data(df, file_path, data_format=None, units=None, debug=False)\n\n"
                   "Write a station time-series table as CSV (units in the header) or NetCDF."});
}
