// load_observations: the observation tree search, the date filter on file
// names, the pool of loader threads and the progress bar.
#include "kvelo/modules/stationfeed/stationfeed.hpp"

#include <exception>
#include <vector>

#include "kvelo/binding/errors.hpp"
#include "kvelo/binding/function.hpp"
#include "kvelo/binding/module.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/libraries.hpp"
#include "kvelo/shared/log.hpp"

namespace py = pybind11;
using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace kvelo::stationfeed;
using namespace pybind11::literals;

namespace {

const char* const kName = "load_observations";

void require_datetime(py::handle value, const char* what) {
    py::object datetime = py::module_::import("datetime").attr("datetime");
    if (!py::isinstance(value, datetime)) {
        PyErr_Format(PyExc_TypeError,
                     "%s must be a date-time value (datetime or pandas Timestamp), not %s", what,
                     Py_TYPE(value.ptr())->tp_name);
        throw py::error_already_set();
    }
}

// `with cm as value: body(value)`: __exit__ runs on every way out, with the
// error in flight when there is one, as the interpreter's with statement does.
template <typename Body>
void with_context(py::object cm, Body&& body) {
    py::object exit = cm.attr("__exit__");
    py::object value = cm.attr("__enter__")();
    auto leave_with = [&](py::error_already_set& e) {
        // An error raised in C++ has no traceback yet: None, as the interpreter gives.
        py::object trace = e.trace() ? e.trace() : py::none();
        py::object suppress = exit(e.type(), e.value(), trace);
        return truthy(suppress);
    };
    try {
        body(value);
    } catch (py::error_already_set& e) {
        if (leave_with(e)) return;
        throw;
    } catch (const std::exception&) {
        // A C++ failure leaves as the Python error it stands for.
        py::error_already_set e = error_from_exception(kName);
        if (leave_with(e)) return;
        throw e;
    }
    exit(py::none(), py::none(), py::none());
}

// The file tasks (file date or None, path) of the date window, in path order.
py::list select_files(const Call& c, const py::list& files, py::handle start_date,
                      py::handle end_date, bool debug) {
    py::object os_path = c.g("os").attr("path");
    py::list tasks;
    for (py::handle f : files) {
        try {
            py::object file_date =
                c.g("extract_date_from_filename")(os_path.attr("basename")(f), "debug"_a = false);
            if (file_date.is_none()) {
                if (debug) {
                    log_warning(
                        c, fmt("Could not extract date from {}, including all by default.", f));
                }
                tasks.append(py::make_tuple(py::none(), f));
                continue;
            }
            if (holds(start_date, file_date, Py_LE) && holds(file_date, end_date, Py_LE)) {
                tasks.append(py::make_tuple(file_date, f));
            }
        } catch (py::error_already_set& e) {
            if (!ordinary(e)) throw;
            if (debug) log_warning(c, fmt("Skipping file {}: {}", f, e.value()));
        }
    }
    return tasks;
}

void summarize_first_dataset(const Call& c, py::handle ds, py::handle path) {
    c.g("summarize_observation_dataset")(ds, path, "debug"_a = true);
    log_debug(c, py::str("First 5 time steps:"));
    for (py::handle var : ds.attr("data_vars")) {
        try {
            py::object values =
                ds[var].attr("isel")("DATEON"_a = py::slice(0, 5, 1)).attr("values");
            log_debug(c, fmt("{}: {}", var, values));
        } catch (py::error_already_set& e) {
            if (!ordinary(e)) throw;
            log_debug(c, fmt("{}: [Error displaying values] {}", var, e.value()));
        }
    }
    if (!contains(ds.attr("coords"), py::str("time"))) return;
    py::object diffs = ds["time"].attr("diff")("dim"_a = "time");
    if (equals(diffs.attr("size"), py::int_(0))) return;
    py::object mean = c.g("np").attr("mean")(diffs.attr("values"));
    // Whole seconds; int() of a numpy timedelta goes through datetime.timedelta
    // and fails, so the integer comes from a numeric cast.
    const long long seconds =
        saturated(py::int_(mean.attr("astype")("timedelta64[s]").attr("astype")("int64")));
    const char* resolution = seconds < 7200     ? "Hourly"
                             : seconds < 172800 ? "Daily"
                                                : "Monthly or coarser";
    log_debug(c, fmt("Inferred time resolution: {}", resolution));
}

py::object load_observations(const Call& c) {
    const auto [obs_base_dir, start_date, end_date, obs_type, max_workers, debug_arg] =
        c.args("obs_base_dir", "start_date", "end_date", "obs_type", "max_workers", "debug");
    const bool debug = truthy(debug_arg);
    start_banner(c, debug_arg, kName);

    py::dict datasets;
    py::object os_path = c.g("os").attr("path");
    py::object version_dir = os_path.attr("join")(obs_base_dir, obs_type.attr("lower")(),
                                                  c.arg("obs_version").attr("lower")());
    require_datetime(start_date, "start_date");
    require_datetime(end_date, "end_date");
    if (!truthy(os_path.attr("isdir")(version_dir))) {
        log_error(c, fmt("Observation dataset type '{}' not found in {}.", obs_type, obs_base_dir));
        return datasets;
    }

    py::object pattern = os_path.attr("join")(version_dir, "*", "*.*");
    py::list files = c.g("sorted")(c.g("glob").attr("glob")(pattern));
    if (debug) log_debug(c, fmt("Found {} files under '{}/*/*.*'", py::len(files), version_dir));

    py::list tasks = select_files(c, files, start_date, end_date, debug);
    if (debug) log_debug(c, fmt("{} files selected after date filtering.", py::len(tasks)));

    py::object load_single_dataset = make_load_single_dataset(
        c, {start_date, end_date, obs_type, c.arg("region_bounds"), debug_arg});

    // Which file each key was stored from, to name both files when a later
    // load replaces an earlier one under the same key.
    py::dict stored_from;
    with_context(c.g("ThreadPoolExecutor")("max_workers"_a = max_workers), [&](py::object pool) {
        // The pool starts its first thread only when 0 < max_workers; a value
        // it accepts for which that is false (NaN) would leave every task
        // waiting for ever: refused as the pool refuses a value below 1.
        if (!tasks.empty() && !max_workers.is_none() && !holds(py::int_(0), max_workers, Py_LT)) {
            raise(PyExc_ValueError, py::str("max_workers must be greater than 0"));
        }
        py::dict future_to_file;
        for (py::handle item : tasks) {
            future_to_file[pool.attr("submit")(load_single_dataset, item)] = item;
        }
        py::object bar =
            c.g("tqdm")(c.g("as_completed")(future_to_file), "total"_a = py::len(tasks),
                        "desc"_a = "Loading observation datasets", "colour"_a = "green",
                        "ncols"_a = 80, "smoothing"_a = 0.2, "unit"_a = "file",
                        "bar_format"_a =
                            "{l_bar}{bar}| {n_fmt}/{total_fmt} [{elapsed}<{remaining}, {rate_fmt}]",
                        "file"_a = c.g("sys").attr("stdout"));
        for (py::handle future : bar) {
            py::object result = future.attr("result")();
            if (result.is_none()) continue;
            std::vector<py::object> key_ds = unpack(result, 2);
            py::object path = future_to_file[future][py::int_(1)];
            if (contains(datasets, key_ds[0])) {
                log_warning(c, fmt("Dataset for {} from {} replaced by {}: both files give the "
                                   "same key.",
                                   key_ds[0], stored_from[key_ds[0]], path));
            }
            datasets[key_ds[0]] = key_ds[1];
            stored_from[key_ds[0]] = path;
            if (debug && py::len(datasets) == 1) summarize_first_dataset(c, key_ds[1], path);
        }
    });

    end_banner(c, debug_arg, kName);
    return datasets;
}

}  // namespace

KVELO_MODULE(stationfeed, m) {
    import_base_libraries(m);
    // `import concurrent.futures` binds the top-level package.
    py::module_::import("concurrent.futures");
    import_as(m, "concurrent", "concurrent");
    import_as(m, "multiprocessing", "multiprocessing");
    import_as(m, "warnings", "warnings");
    import_names(m, "tqdm", {"tqdm", "trange"});
    import_from(m, "datetime", "datetime");
    import_from(m, "collections", "defaultdict");
    import_names(m, "typing", {"Optional", "List", "Dict", "Any", "Tuple"});
    import_names(m, "concurrent.futures", {"ThreadPoolExecutor", "as_completed"});
    import_names(m, "kvelo.py.utils",
                 {"extract_date_from_filename", "summarize_observation_dataset"});
    import_names(m, "kvelo.py.style", {"get_variable_mapping"});

    def(m, {.name = kName,
            .params = {"obs_base_dir",
                       "start_date",
                       "end_date",
                       "obs_type",
                       "obs_version",
                       {"region_bounds", py::none()},
                       {"debug", py::bool_(false)},
                       {"max_workers", py::int_(8)}},
            .impl = load_observations,
            .doc = "Load datasets efficiently with date filtering, progress bar, optional region "
                   "check, multithreading."});
}
