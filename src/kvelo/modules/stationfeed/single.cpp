// Loading one observation file: an observation CSV table becomes a dataset
// along its time column; an observation NetCDF file is opened lazily and kept
// when one of its stations lies in the region.
//
// Runs on the pool's worker threads.  It holds the interpreter lock only as
// any Python code would: the CSV and NetCDF readers release it while they
// parse and read, and nothing here takes a lock of its own.
#include <exception>
#include <utility>
#include <vector>

#include "kvelo/binding/errors.hpp"
#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/stationfeed/stationfeed.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::stationfeed {

using binding::Call;
using binding::compare;
using binding::contains;
using binding::equals;
using binding::fmt;
using binding::get;
using binding::holds;
using binding::truthy;
using binding::unpack;
using shared::log_debug;
using shared::log_info;
using shared::log_warning;
using namespace pybind11::literals;

bool ordinary(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

namespace {

// An observation CSV file; None when no row lies in the date window.
py::object load_csv(const Call& c, const LoadWindow& w, py::handle f, const py::object& name) {
    py::object pd = c.g("pd");
    py::object mapping = c.g("get_variable_mapping")("data_type"_a = w.obs_type);
    py::object coords = get(mapping, "coords", py::dict());
    py::object time_col = get(coords, "time", py::str("DATEON"));
    py::object lat_col = get(coords, "lat", py::str("LATITUDE"));
    py::object lon_col = get(coords, "lon", py::str("LONGITUDE"));
    py::object time_format = get(mapping, "time_format", py::none());

    py::object df = pd.attr("read_csv")(f);
    py::object column = df[time_col];
    py::object times =
        truthy(time_format)
            ? pd.attr("to_datetime")(column, "format"_a = time_format, "errors"_a = "coerce")
            : pd.attr("to_datetime")(column, "errors"_a = "coerce");
    df.attr("__setitem__")(time_col, times);

    if (truthy(w.debug)) {
        log_debug(c, fmt("{}: Loaded {} rows", name, py::len(df)));
        log_debug(c, fmt("{}: Columns = {}", name, py::list(df.attr("columns"))));
        log_debug(c, fmt("{}: {} non-null = {}", name, time_col,
                         df[time_col].attr("notna")().attr("sum")()));
    }

    py::object t = df[time_col];
    // Left to right, as the interpreter evaluates the expression.
    py::object after_start = compare(t, w.start_date, Py_GE);
    py::object in_window = after_start & compare(t, w.end_date, Py_LE);
    df = df[in_window];
    if (py::len(df) == 0) {
        if (truthy(w.debug)) {
            log_debug(c, fmt("Skipping {}: no data in selected date range.", name));
        }
        return py::none();
    }

    py::object ds =
        c.g("xr").attr("Dataset").attr("from_dataframe")(df.attr("set_index")(time_col));
    py::object variables = ds.attr("variables");
    if (contains(variables, lat_col) && contains(variables, lon_col)) {
        py::list pair;
        pair.append(lat_col);
        pair.append(lon_col);
        ds = ds.attr("set_coords")(pair);
    }

    py::object time_units = get(mapping, "time_units");
    py::object calendar = get(mapping, "calendar");
    if (truthy(time_units)) {
        py::object attrs = ds[time_col].attr("attrs");
        attrs["units"] = time_units;
        if (truthy(calendar)) attrs["calendar"] = calendar;
    }

    py::dict units;
    units[time_col] = time_units;
    py::dict described;
    py::dict metadata;
    metadata["units"] = units;
    metadata["coords"] = coords;
    metadata["variables"] = described;
    for (py::handle entry : get(mapping, "variables", py::dict()).attr("items")()) {
        std::vector<py::object> name_and_pair = unpack(entry, 2);
        std::vector<py::object> mapped_and_unit = unpack(name_and_pair[1], 2);
        py::dict info;
        info["name"] = name_and_pair[0];
        info["unit"] = mapped_and_unit[1];
        described[mapped_and_unit[0]] = info;
    }
    ds.attr("attrs")["metadata"] = metadata;
    return ds;
}

// The region test of an observation NetCDF file: does any station lie inside
// the bounds, all four included?
bool any_station_inside(const Call& c, py::handle ds, py::handle region_bounds) {
    py::object lat = ds["latitude"].attr("values");
    py::object lon = ds["longitude"].attr("values");
    std::vector<py::object> b = unpack(region_bounds, 4);
    // Term by term, left to right, as the interpreter evaluates the expression.
    py::object mask = compare(lat, b[0], Py_GE);
    mask = mask & compare(lat, b[1], Py_LE);
    mask = mask & compare(lon, b[2], Py_GE);
    mask = mask & compare(lon, b[3], Py_LE);
    return truthy(c.g("np").attr("any")(mask));
}

// An observation NetCDF file, opened without time decoding and left lazy;
// None (and closed) when no station lies in the region.
py::object load_netcdf(const Call& c, const LoadWindow& w, py::handle f, const py::object& name) {
    py::object ds = c.g("xr").attr("open_dataset")(f, "decode_times"_a = false);
    if (w.region_bounds.is_none()) return ds;
    bool inside;
    try {
        inside = any_station_inside(c, ds, w.region_bounds);
    } catch (py::error_already_set&) {
        // The file is failed by the caller; release its handle first.
        ds.attr("close")();
        throw;
    }
    if (!inside) {
        ds.attr("close")();
        if (truthy(w.debug)) {
            log_debug(c, fmt("Skipping {}: no stations in selected region.", name));
        }
        return py::none();
    }
    return ds;
}

py::object load_single_dataset(const Call& c, const LoadWindow& w) {
    std::vector<py::object> task = unpack(c.arg("file_date_f_tuple"), 2);
    const py::object& file_date = task[0];
    const py::object& f = task[1];
    py::object os_path = c.g("os").attr("path");
    py::object ext = os_path.attr("splitext")(f)[py::int_(1)].attr("lower")();

    try {
        py::object clock = c.g("time");
        py::object start = clock.attr("time")();
        log_info(c, fmt("\u2705 Observation file available {}", f));
        py::object name = os_path.attr("basename")(f);

        py::object ds;
        if (equals(ext, py::str(".csv"))) {
            ds = load_csv(c, w, f, name);
        } else if (equals(ext, py::str(".nc")) || equals(ext, py::str(".netcdf"))) {
            ds = load_netcdf(c, w, f, name);
        } else {
            if (truthy(w.debug)) log_warning(c, fmt("Unsupported file format: {}", f));
            return py::none();
        }
        if (ds.is_none()) return py::none();

        py::object end = c.g("time").attr("time")();
        py::object duration = end - start;
        if (truthy(w.debug)) log_debug(c, fmt("Loaded {} ...", name));
        if (holds(duration, py::int_(5), Py_GT)) {
            log_warning(c, fmt("Loading {} took {:.1f} seconds!", name, duration));
        }
        return py::make_tuple(truthy(file_date) ? file_date : w.start_date, ds);
    } catch (py::error_already_set& e) {
        if (!ordinary(e)) throw;
        log_warning(c, fmt("Failed to load {}: {}", f, e.value()));
        return py::none();
    } catch (const std::exception&) {
        // A failure on the C++ side, as the Python error it stands for
        // (MemoryError for an allocation), reported like any other.
        py::error_already_set e = binding::error_from_exception("load_single_dataset");
        if (!ordinary(e)) throw e;
        log_warning(c, fmt("Failed to load {}: {}", f, e.value()));
        return py::none();
    }
}

}  // namespace

py::object make_load_single_dataset(const Call& c, LoadWindow window) {
    // A nested function's module is its globals' __name__ as it is now,
    // whatever object that is (None when there is none).
    PyObject* module = PyDict_GetItemWithError(c.globals().ptr(), py::str("__name__").ptr());
    if (module == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return binding::make_function(
        {.name = "load_single_dataset",
         .params = {"file_date_f_tuple"},
         .impl = [window = std::move(window)](
                     const Call& inner) { return load_single_dataset(inner, window); },
         .qualname = "load_observations.<locals>.load_single_dataset"},
        c.globals(), py::reinterpret_borrow<py::object>(module != nullptr ? module : Py_None));
}

}  // namespace kvelo::stationfeed
