// Station table intake: reads the station time-series table and builds the
// station-wise dictionary (collocated or plain layout), then hands it to the
// run dispatch.
//
// The table is grouped by station once (codes from the library's factorize,
// rows bucketed natively) instead of one boolean selection over the whole
// table per station, so the cost grows with rows, not rows times stations.
#include <pybind11/numpy.h>

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kvelo/binding/arrays.hpp"
#include "kvelo/binding/errors.hpp"
#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/core/station_groups.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"
#include "kvelo/shared/log.hpp"
#include "kvelo/shared/tables.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

constexpr const char* kName = "process_time_series_plot_from_file";

// What help() shows below the signature line.
constexpr const char* kSummary =
    "Read a station table with io.read_data and draw its station time series.\n"
    "\n"
    "use_collocation set (the collocated road): the collocated figures, the bias\n"
    "figures (model - obs), and the statistics file beside the table, named\n"
    "<table without extension>_stats.csv, with its three bar charts. Otherwise\n"
    "(the plain road): the observation figures only. model_files_dict is not read.\n"
    "\n"
    "config is copied once and the copy handed on; the keys read: plot_region,\n"
    "start_date, end_date (title text only: they select no rows), experiments,\n"
    "exp_labels (labels only: they select nothing), show_stations, show_min_max,\n"
    "fix_y_axis, log_y_axis, plot_mode, station_plot_group_size, force_full_year,\n"
    "debug_extended, obs_dataset_type.\n"
    "\n"
    "Figures are <plot_file_base><suffixes>.<fmt> for every word of\n"
    "save_plot_formats (300 dpi, tight). Returns None; an unreadable table is\n"
    "logged (\"Could not load station data for plotting: ...\") and nothing drawn.";

using Int64Array = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;
using F64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A new list of the items of `seq`, never `seq` itself: a list we keep
// while calling back into Python must be one no other code holds.
py::list new_list(const py::object& seq) {
    PyObject* list = PySequence_List(seq.ptr());
    if (!list) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(list);
}

// df[name], refusing a label the table holds more than once: that selection
// is a table of all such columns, and reading it as one column would hand a
// station the rows of another.
py::object unique_column(py::handle df, py::handle name) {
    py::object where = df.attr("columns").attr("get_loc")(name);  // KeyError when absent
    if (py::isinstance<py::slice>(where) || py::isinstance<py::array>(where)) {
        raise(PyExc_ValueError, fmt("The column label '{}' is not unique.", name));
    }
    return df[name];
}

// A column's values per station as the per-station formulation lists them,
// list(rows[col].to_numpy()).  A numpy column converts alike whatever rows it
// holds, so it is converted once and each station takes its items (new
// scalars made in the station's order, which keeps memory access sequential
// on long tables).  An extension column (nullable integers, categoricals, ...)
// picks its numpy type by the rows it holds (a station without a missing
// value keeps int64 items), so each station's rows are converted alone.
class ColumnLists {
  public:
    ColumnLists(const Call& c, const py::object& column) {
        per_station_ = !py::isinstance(column.attr("dtype"), c.g("np").attr("dtype"));
        values_ = per_station_ ? column.attr("array") : column.attr("to_numpy")();
    }

    py::list take(const py::object& positions) const {
        py::object part = values_.attr("take")(positions);
        return new_list(per_station_ ? part.attr("to_numpy")() : part);
    }

  private:
    py::object values_;
    bool per_station_ = false;
};

// The table grouped by station, in the order of `site_id.unique()`.
class StationRows {
  public:
    StationRows(const Call& c, py::object df) : c_(c), df_(std::move(df)) {
        ids_ = unique_column(df_, py::str("site_id"));
        uniques_ = new_list(ids_.attr("unique")());
        py::object pd = c_.g("pd");
        py::tuple fact = pd.attr("factorize")(ids_);
        // Converted, not ensured: a failure is the interpreter's error.
        Int64Array codes(fact[0]);
        py::list present = new_list(fact[1]);

        // unique() and factorize() list the present identifiers in the same
        // order; unique() also lists each kind of missing identifier once.
        // Should they ever disagree, fall back to selecting rows by equality.
        size_t k = 0;
        bool agree = true;
        for (py::handle u : uniques_) {
            bool missing = truthy(pd.attr("isna")(u));
            group_.push_back(missing ? -1 : static_cast<int64_t>(k));
            if (missing) continue;
            // Item by item as list equality compares them (identity, then ==).
            agree = agree && k < present.size() && same_item(u, present[k]);
            ++k;
        }
        const size_t n_groups = present.size();
        if (agree && k == n_groups && static_cast<size_t>(codes.size()) == py::len(df_)) {
            groups_ = core::group_rows(codes.data(), static_cast<size_t>(codes.size()), n_groups);
        } else {
            by_selection_ = true;  // identifiers the grouping cannot vouch for
        }
    }

    size_t size() const { return group_.size(); }
    py::handle sid(size_t i) const { return uniques_[i]; }

    // Positions of station i's rows ordered as sort_values("time") orders them;
    // empty when no row equals the identifier.
    std::vector<int64_t> ordered(size_t i) {
        // Even a station without rows has its (empty) selection sorted by time,
        // so a table without `time` fails at its first station of any kind.
        load_time();
        std::vector<int64_t> rows;
        if (by_selection_) {
            py::object mask = compare(ids_, uniques_[i], Py_EQ);
            py::object nz = c_.g("np").attr("flatnonzero")(mask.attr("to_numpy")());
            Int64Array a(nz);
            rows.assign(a.data(), a.data() + a.size());
        } else if (group_[i] >= 0) {
            size_t g = static_cast<size_t>(group_[i]);
            rows.assign(groups_.begin(g), groups_.begin(g) + groups_.count(g));
        }
        if (rows.empty()) return rows;
        std::vector<int64_t> out;
        if (native_keys_ && core::order_by_time(rows.data(), rows.size(), keys_, out)) return out;
        return library_order(rows);
    }

    const py::object& time_column() {
        load_time();
        return time_;
    }

  private:
    // The time column, fetched when the first station is sorted (a missing
    // column raises the table's KeyError there).
    void load_time() {
        if (time_) return;
        time_ = unique_column(df_, py::str("time"));
        py::object values = time_.attr("values");
        if (!py::isinstance<py::array>(values)) return;
        py::array arr = values;
        const char kind = arr.dtype().kind();
        // Typed, contiguous copies or views: the keys are read as int64 or
        // double up to the length these arrays report.
        if (kind == 'M' || kind == 'm') {
            int_keys_ = Int64Array(arr.attr("view")("i8"));
            keys_.has_int_missing = true;
        } else if (kind == 'i' || (kind == 'u' && arr.dtype().itemsize() < 8)) {
            int_keys_ = Int64Array(arr);
        } else if (kind == 'f') {
            real_keys_ = F64Array(arr);
        }
        if (int_keys_) {
            keys_.ints = int_keys_.data();
            keys_.size = static_cast<size_t>(int_keys_.size());
        } else if (real_keys_) {
            keys_.reals = real_keys_.data();
            keys_.size = static_cast<size_t>(real_keys_.size());
        } else {
            return;
        }
        native_keys_ = true;
    }

    // Ties (or keys we cannot compare natively): the library's own sort of the
    // station's time values, exactly as it sorts the selected rows, labelled
    // by their positions so the sorted labels are the positions in order.
    std::vector<int64_t> library_order(const std::vector<int64_t>& rows) {
        py::object positions = to_array(rows);
        py::object sub = time_.attr("take")(positions).attr("set_axis")(positions);
        py::object order = sub.attr("sort_values")().attr("index").attr("to_numpy")();
        Int64Array a(order);
        return std::vector<int64_t>(a.data(), a.data() + a.size());
    }

    const Call& c_;
    py::object df_;
    py::object ids_;
    py::list uniques_;
    std::vector<int64_t> group_;  // per unique(): group number, -1 for a missing identifier
    core::RowGroups groups_;
    bool by_selection_ = false;
    py::object time_;
    Int64Array int_keys_;
    F64Array real_keys_;
    core::TimeKeys keys_;
    bool native_keys_ = false;
};

// Calls visit(sid, positions) for every station with rows, in order of first
// appearance; an identifier that no row equals (a missing one) is warned
// about and left out.
template <typename Visit>
void for_each_station(const Call& c, py::object df, Visit visit) {
    StationRows stations(c, std::move(df));
    for (size_t i = 0; i < stations.size(); ++i) {
        py::handle sid = stations.sid(i);
        std::vector<int64_t> pos = stations.ordered(i);
        if (pos.empty()) {
            log_warning(c, fmt("[{}] No data rows found.", sid));
            continue;
        }
        visit(sid, pos, stations);
    }
}

py::dict build_collocated(const Call& c, py::object df, py::object variable, py::handle debug) {
    py::dict data;
    const bool dbg = truthy(debug);
    const double nan = std::numeric_limits<double>::quiet_NaN();

    // Filled at the first station with rows: the columns whose name begins
    // with the variable name, and their and `time`'s values as numpy holds
    // them (numpy scalars; stamps of a naive time column as numpy datetime64,
    // which cost a tenth of Timestamps).
    bool columns_ready = false;
    std::vector<std::pair<py::object, ColumnLists>> value_columns;
    std::optional<ColumnLists> times;

    for_each_station(
        c, df, [&](py::handle sid, const std::vector<int64_t>& pos, StationRows& stations) {
            if (!columns_ready) {
                times.emplace(c, stations.time_column());
                for (py::handle col : df.attr("columns")) {
                    if (!truthy(py::str(col).attr("startswith")(variable))) continue;
                    value_columns.emplace_back(py::reinterpret_borrow<py::object>(col),
                                               ColumnLists(c, unique_column(df, col)));
                }
                columns_ready = true;
            }
            py::object first = df.attr("iloc")[py::int_(pos.front())];
            py::dict sd;
            sd["site_id"] = sid;
            sd["site_name"] = get(first, "site_name", py::str(""));
            sd["lat"] = get(first, "lat", py::float_(nan));
            sd["lon"] = get(first, "lon", py::float_(nan));
            sd["elevation_m"] = get(first, "elevation_m", py::float_(nan));
            py::object positions = to_array(pos);
            sd["time"] = times->take(positions);
            sd["n_valid"] = get(first, "n_valid", py::float_(nan));
            for (auto& [col, values] : value_columns) {
                py::list list = values.take(positions);
                sd[col] = list;
                if (dbg) {
                    log_debug(c, fmt("[{}] Loaded {}: {} values", sid, col, py::len(list)));
                    if (truthy(c.g("pd").attr("isna")(list).attr("all")())) {
                        log_warning(c, fmt("[{}] Column {} contains only NaNs.", sid, col));
                    }
                }
            }
            data[sid] = sd;
        });
    return data;
}

// Returns None (and warns) when the table lacks the variable's column.
py::object build_plain(const Call& c, py::object df, py::object variable) {
    py::object columns = df.attr("columns");
    if (!contains(columns, variable)) {
        log_warning(c, fmt("Variable '{}' not found in observations.", variable));
        log_warning(c, fmt("df_obs: {}", df));
        return py::none();
    }
    const bool min_max = contains(columns, py::str("min")) && contains(columns, py::str("max"));
    py::dict data;
    bool checked = false;
    // Every plain figure needs a station's metadata and series, so an
    // identifier without rows is left out here too.
    for_each_station(c, df, [&](py::handle sid, const std::vector<int64_t>& pos, StationRows&) {
        if (!checked) {
            unique_column(df, variable);
            if (min_max) {
                unique_column(df, py::str("min"));
                unique_column(df, py::str("max"));
            }
            checked = true;
        }
        py::object rows = df.attr("take")(to_array(pos));
        py::object first = rows.attr("iloc")[py::int_(0)];
        py::dict sd;
        sd["site_id"] = sid;
        for (const char* key : {"site_name", "lat", "lon", "elevation_m"}) sd[key] = first[key];
        sd["time"] = rows["time"].attr("copy")();
        sd["value"] = rows[variable].attr("copy")();
        if (min_max) {
            sd["min"] = rows["min"];
            sd["max"] = rows["max"];
        }
        data[sid] = sd;
    });
    return data;
}

py::object process_time_series_plot_from_file(const Call& c) {
    const py::object& variable = c.arg("variable");
    const py::object& debug = c.arg("debug");
    start_banner(c, debug, kName);

    auto table = read_station_table(c, c.arg("data_file_base"), c.arg("data_format"), debug);
    if (!table) return py::none();
    auto [df_obs, units] = *table;

    py::object fallback = get(units, variable, py::str(""));
    py::object unit = get(units, fmt("{}_obs", variable), fallback);
    if (truthy(debug)) {
        log_debug(c, fmt("Using variable '{}' '{}'", variable, unit));
        log_debug(c, fmt("df_obs: {}", df_obs));
    }
    if (!contains(df_obs.attr("columns"), py::str("site_id"))) {
        throw py::key_error("Expected 'site_id' column not found in df_obs.");
    }

    py::object data;
    if (truthy(c.arg("use_collocation"))) {
        data = build_collocated(c, df_obs, variable, debug);
    } else {
        data = build_plain(c, df_obs, variable);
        if (data.is_none()) return py::none();
    }
    dispatch_run(c, data, unit);
    return py::none();
}

}  // namespace

FunctionSpec spec_process_time_series_plot_from_file() {
    std::vector<Param> params = {"data_file_base",
                                 "data_format",
                                 "model_files_dict",
                                 "plot_file_base",
                                 "save_plot_formats",
                                 "config",
                                 "plot_title",
                                 {"variable", py::none()},
                                 {"tavg", py::none()},
                                 {"debug", py::bool_(false)},
                                 {"use_collocation", py::none()}};
    std::string doc = signature_line(kName, params) + "\n\n" + kSummary;
    return {.name = kName,
            .params = std::move(params),
            .impl = process_time_series_plot_from_file,
            .doc = doc};
}

}  // namespace kvelo::chronoplex
