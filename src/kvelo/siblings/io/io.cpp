// Sibling module io: reading and writing station time-series tables.
//
// CSV tables carry their units in the header: a column written as
// "O3_obs [ppb]" is read as the column "O3_obs" with the unit "ppb".
// NetCDF tables carry them in each variable's "units" attribute.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <utility>

#include "kvelo/binding/errors.hpp"
#include "kvelo/binding/function.hpp"
#include "kvelo/binding/module.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/log.hpp"

namespace py = pybind11;
using namespace kvelo::binding;
using namespace kvelo::shared;

namespace {

enum class Format { Csv, NetCdf };

// os.fsdecode(file_path): a str, bytes or path-like as Python text; bytes
// that are no UTF-8 come back as the surrogates that Python's open() turns
// into the same bytes again.
py::str path_text(py::handle file_path) {
    return py::module_::import("os").attr("fsdecode")(file_path);
}

bool is_word(py::handle word, std::initializer_list<const char*> words) {
    for (const char* w : words) {
        if (text_is(word, w)) return true;
    }
    return false;
}

Format choose_format(const py::str& path, py::handle data_format) {
    // str(data_format).lower(), else the path's extension in lower case (a
    // dot inside a directory name is no extension).
    py::object word = py::str("");
    if (!data_format.is_none()) {
        word = py::str(data_format).attr("lower")();
    } else {
        const Py_ssize_t dot = index_saturated(path.attr("rfind")("."));
        const Py_ssize_t slash = std::max(index_saturated(path.attr("rfind")("/")),
                                          index_saturated(path.attr("rfind")("\\")));
        if (dot >= 0 && dot > slash) {
            word = path[py::slice(dot + 1, std::nullopt, std::nullopt)].attr("lower")();
        }
    }
    if (is_word(word, {"csv"})) return Format::Csv;
    if (is_word(word, {"nc", "netcdf", "netcdf4"})) return Format::NetCdf;
    py::object shown = data_format.is_none() ? word : py::object(py::str(data_format));
    raise(PyExc_ValueError,
          fmt("Unsupported data format '{}' for {} (expected csv, nc, netcdf or netcdf4)", shown,
              path));
}

// Raises `exc_type(message)` with `cause` as its __cause__ (raise ... from cause).
[[noreturn]] void raise_from(PyObject* exc_type, const py::str& message,
                             const py::error_already_set& cause) {
    py::object err = py::reinterpret_borrow<py::object>(exc_type)(message);
    PyException_SetCause(err.ptr(), cause.value().inc_ref().ptr());
    PyErr_SetObject(exc_type, err.ptr());
    throw py::error_already_set();
}

std::pair<py::object, py::dict> read_csv(const py::str& path) {
    py::module_ pd = py::module_::import("pandas");
    py::dict units;
    py::object df = pd.attr("read_csv")(path);
    // "name [unit]", matched by Python's re on the column's text.
    py::object with_unit = py::module_::import("re").attr("compile")(R"((.*?)\s*\[(.*)\]\s*)");
    py::dict renames;
    for (py::handle col : df.attr("columns")) {
        py::object match = with_unit.attr("fullmatch")(py::str(col));
        if (!match.is_none()) {
            renames[col] = match.attr("group")(1);
            units[match.attr("group")(1)] = match.attr("group")(2);
        }
    }
    if (py::len(renames) > 0) df = df.attr("rename")(py::arg("columns") = renames);
    if (contains(df.attr("columns"), py::str("time"))) {
        df.attr("__setitem__")("time", pd.attr("to_datetime")(df["time"]));
    }
    return {df, units};
}

std::pair<py::object, py::dict> read_netcdf(const py::str& path) {
    py::module_ xr = py::module_::import("xarray");
    py::dict units;
    py::object ds = xr.attr("open_dataset")(path);
    py::object df;
    try {
        for (py::handle name : ds.attr("variables")) {
            py::object attrs = ds[name].attr("attrs");
            if (contains(attrs, py::str("units"))) {
                units[name] = py::str(attrs["units"]);
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
    py::str path = path_text(c.arg("file_path"));
    Format format = choose_format(path, c.arg("data_format"));
    if (!truthy(os.attr("path").attr("isfile")(path))) {
        raise(PyExc_FileNotFoundError, fmt("Station table not found: {}", path));
    }
    std::pair<py::object, py::dict> table;
    try {
        table = format == Format::Csv ? read_csv(path) : read_netcdf(path);
    } catch (py::error_already_set& e) {
        // OS errors name their file already; a parser's error does not, and
        // a caller reading many tables needs to know which one failed.
        if (!e.matches(PyExc_Exception) || e.matches(PyExc_OSError)) throw;
        raise_from(PyExc_ValueError, fmt("Cannot read station table {}: {}", path, e.value()), e);
    }
    auto& [df, units] = table;
    if (truthy(c.arg("debug"))) {
        log_debug(c, fmt("Read {} rows from {}", py::len(df), path));
    }
    if (truthy(c.arg("return_units"))) return py::make_tuple(df, units);
    return df;
}

py::object save_data(const Call& c) {
    const py::object& df = c.arg("df");
    py::str path = path_text(c.arg("file_path"));
    Format format = choose_format(path, c.arg("data_format"));
    py::object units = c.arg("units").is_none() ? py::object(py::dict()) : c.arg("units");
    if (format == Format::Csv) {
        py::dict renames;
        for (py::handle col : df.attr("columns")) {
            py::object unit = get(units, col);
            if (!unit.is_none()) renames[col] = fmt("{} [{}]", col, unit);
        }
        df.attr("rename")(py::arg("columns") = renames)
            .attr("to_csv")(path, py::arg("index") = false);
    } else {
        py::list keys;
        for (const char* k : {"site_id", "time"}) {
            if (contains(df.attr("columns"), py::str(k))) keys.append(k);
        }
        py::object indexed = py::len(keys) > 0 ? df.attr("set_index")(keys) : df;
        py::object ds = indexed.attr("to_xarray")();
        for (py::handle name : ds.attr("variables")) {
            py::object unit = get(units, name);
            if (!unit.is_none()) ds[name].attr("attrs")["units"] = unit;
        }
        ds.attr("to_netcdf")(path);
    }
    if (truthy(c.arg("debug"))) log_debug(c, fmt("Saved {} rows to {}", py::len(df), path));
    return py::none();
}

}  // namespace

KVELO_MODULE(io, m) {
    import_as(m, "logging", "logging");
    def(m, {.name = "read_data",
            .params = {"file_path",
                       {"data_format", py::none()},
                       {"debug", py::bool_(false)},
                       {"return_units", py::bool_(false)}},
            .impl = read_data,
            .doc = "read_data(file_path, data_format=None, debug=False, return_units=False)\n\n"
                   "Read a station time-series table (CSV or NetCDF); with return_units, "
                   "return (table, units).  data_format is csv, nc, netcdf or netcdf4 (any "
                   "case); None: the file's extension.  CSV units come from 'name [unit]' "
                   "headers, NetCDF units from each variable's units attribute.  "
                   "FileNotFoundError for a missing file; ValueError naming the path for an "
                   "unknown format or an unreadable table."});
    def(m, {.name = "save_data",
            .params = {"df",
                       "file_path",
                       {"data_format", py::none()},
                       {"units", py::none()},
                       {"debug", py::bool_(false)}},
            .impl = save_data,
            .doc = "save_data(df, file_path, data_format=None, units=None, debug=False)\n\n"
                   "Write a station time-series table as CSV (units in the header) or NetCDF "
                   "(indexed by site_id and time, units as attributes); the format is chosen "
                   "as read_data chooses it."});
}
