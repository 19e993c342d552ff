// Collocated figures: the regional mean of the observation and of every
// experiment over the valid stations, with the station-range band, then one
// figure per station.  The regional tables are aggregated natively; stations
// whose series the kernel cannot take as they are (time zones, other units,
// values other than a plain list or array, dtypes other than float64, float32,
// integer or boolean, length mismatches) go through the library's own
// groupby / concat formulation, which also raises its own errors.
#include <cmath>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/chronoplex/axes.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"
#include "kvelo/modules/chronoplex/regional.hpp"
#include "kvelo/modules/chronoplex/station_files.hpp"
#include "kvelo/shared/figures.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

constexpr const char* kName = "plot_station_timeseries_collocation";

bool starts_with(py::handle key, py::handle prefix) {
    return py::isinstance<py::str>(key) && truthy(key.attr("startswith")(prefix));
}

// "a, b,,c" -> ["a", "b", "c"]
std::vector<py::object> split_names(py::object text) {
    std::vector<py::object> out;
    for (py::handle chunk : text.attr("split")(",")) {
        py::object s = chunk.attr("strip")();
        if (truthy(s)) out.push_back(s);
    }
    return out;
}

py::dict label_map(py::object experiments, py::object labels) {
    std::vector<py::object> names = split_names(experiments), texts = split_names(labels);
    py::dict map;
    for (size_t i = 0; i < names.size() && i < texts.size(); ++i) map[names[i]] = texts[i];
    return map;
}

void style_axes(py::object ax, py::handle title, py::object variable, py::object unit) {
    ax.attr("set_title")(title, "fontsize"_a = 18, "pad"_a = 6, "alpha"_a = 0.8);
    ax.attr("set_xlabel")("Time", "fontsize"_a = 14);
    ax.attr("set_ylabel")(fmt("{} [{}]", variable, unit), "fontsize"_a = 14);
}

void finish_axes(py::object ax, py::object y_limits, py::handle use_log_y) {
    if (!y_limits.is_none()) ax.attr("set_ylim")(y_limits);
    if (truthy(use_log_y)) ax.attr("set_yscale")("log");
    draw_grids(ax, GridColour::Grey);
}

// A list whose items are all numpy scalars of one type among float32, int64
// and bool (what a column of that type gives): numpy and the library's
// inference give such a list the same dtype, so numpy's quicker conversion
// serves.  False for any other list.
bool numpy_scalars_of_one_type(const Call& c, py::handle values) {
    py::object np = c.g("np");
    const py::object types[] = {np.attr("float32"), np.attr("int64"), np.attr("bool_")};
    const Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    if (n == 0) return false;
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(PyList_GET_ITEM(values.ptr(), 0)));
    bool known = false;
    for (const py::object& t : types) known = known || t.ptr() == type;
    if (!known) return false;
    for (Py_ssize_t i = 1; i < n; ++i) {
        if (reinterpret_cast<PyObject*>(Py_TYPE(PyList_GET_ITEM(values.ptr(), i))) != type) {
            return false;
        }
    }
    return true;
}

// pd.Series(values).notna().any(), natively for a list of floats, through
// numpy for a list of numpy scalars of one type.
bool any_present(const Call& c, py::handle values) {
    std::vector<double> v;
    if (float_list_values(values, v)) {
        for (double x : v) {
            if (!std::isnan(x)) return true;
        }
        return false;
    }
    if (PyList_CheckExact(values.ptr()) && numpy_scalars_of_one_type(c, values)) {
        py::object np = c.g("np");
        return !truthy(np.attr("isnan")(np.attr("array")(values)).attr("all")());
    }
    return truthy(c.g("pd").attr("Series")(values).attr("notna")().attr("any")());
}

// One valid station as the regional step reads it.
struct Station {
    py::object sid;
    py::object data;   // its station_data mapping, read through the mapping protocol
    py::object times;  // DatetimeIndex of its `time`
};

// Hands one station's values (of one key) to the kernel: a plain list of floats
// as read; any other plain list typed by the library's own inference, as
// pd.Series(values, index=times) does (float32 items stay float32, integers
// int64, mixtures and objects object); a numpy array as it is.  Anything else
// (a Series, which the library aligns on its index; a tuple; a masked array)
// is refused.
bool gather_station(const Call& c, NativeRegional& gather, const Station& s, py::handle values,
                    std::vector<double>& floats) {
    if (PyList_CheckExact(values.ptr())) {
        if (float_list_values(values, floats)) return gather.add(s.times, floats);
        if (numpy_scalars_of_one_type(c, values)) {
            return gather.add(s.times, c.g("np").attr("array")(values));
        }
        py::object typed = c.g("pd").attr("Series")(values, "index"_a = s.times);
        return gather.add(s.times, typed.attr("to_numpy")());
    }
    return gather.add(s.times, values);
}

// Native when every station's stamps and values qualify (NativeRegional);
// otherwise the library formulation: per-station groupby mean, outer concat,
// row reductions.
RegionalSeries aggregate_key(const Call& c, const std::vector<const Station*>& with_key,
                             py::handle key, bool with_range) {
    py::object pd = c.g("pd");
    Regional regional(c, Duplicates::Averaged);
    std::vector<double> floats;
    for (const Station* s : with_key) {
        py::object values = s->data[key];
        regional.add(
            [&](NativeRegional& n) { return gather_station(c, n, *s, values, floats); },
            [pd, values, times = s->times] { return pd.attr("Series")(values, "index"_a = times); },
            s->sid);
    }
    return regional.reduce({.sort_rows = true, .range = with_range});
}

py::object plot_station_timeseries_collocation(const Call& c) {
    const auto [config, data, plot_file_base, save_plot_formats, variable, unit, debug] = c.args(
        "config", "data", "plot_file_base", "save_plot_formats", "variable", "unit", "debug");
    const bool dbg = truthy(debug);
    start_banner(c, debug, kName);

    // Settings; plot_mode, station_plot_group_size and obs_dataset_type are
    // read for the shared config table and change nothing here.
    get(config, "plot_mode", py::str("grouped"));
    get(config, "station_plot_group_size", py::int_(15));
    py::object fix_y_axis = get(config, "fix_y_axis", py::none());
    py::object show_stations = get(config, "show_stations", py::bool_(true));
    py::object show_min_max = get(config, "show_min_max", py::bool_(true));
    py::object log_y_axis = get(config, "log_y_axis", py::none());
    py::object force_full_year = get(config, "force_full_year", py::none());
    get(config, "obs_dataset_type", py::none());
    py::object experiments = get(config, "experiments", py::str(""));
    py::object exp_labels = get(config, "exp_labels", py::str(""));
    py::object plot_region = get(config, "plot_region", py::str("Region"));
    py::object start_date = get(config, "start_date", py::none());
    py::object end_date = get(config, "end_date", py::none());

    py::object pd = c.g("pd"), plt = c.g("plt");
    c.g("sns").attr("set_theme")("style"_a = "whitegrid");

    py::dict exp_label_map = label_map(experiments, exp_labels);
    py::object region_label = c.g("get_readable_region_name")(plot_region);
    py::str date_range = fmt("{} to {} ({})", start_date, end_date, c.arg("tavg"));

    // Valid stations: a time axis and at least one value under a key that
    // begins with the variable name.
    std::vector<Station> valid;
    // Any mapping will do, not only a dict: read through items() and get().
    for (py::handle item : data.attr("items")()) {
        py::object sd = item[py::int_(1)];
        py::object times = pd.attr("to_datetime")(get(sd, "time", py::list()));
        if (py::len(times) == 0) continue;
        bool ok = false;
        for (py::handle kv : sd.attr("items")()) {
            if (!starts_with(kv[py::int_(0)], variable)) continue;
            if (any_present(c, kv[py::int_(1)])) {
                ok = true;
                break;
            }
        }
        if (ok) valid.push_back({item[py::int_(0)], sd, times});
    }
    if (valid.empty()) {
        log_warning(c, py::str("No valid stations available for plotting."));
        return py::none();
    }
    py::list ids;
    for (const Station& s : valid) ids.append(s.sid);
    py::list station_ids = c.g("sorted")(ids);
    // Stations in ascending identifier order.
    std::vector<const Station*> ordered;
    for (py::handle sid : station_ids) {
        for (const Station& s : valid) {
            if (s.sid.ptr() == sid.ptr()) {
                ordered.push_back(&s);
                break;
            }
        }
    }

    py::str prefix = fmt("{}_", variable);
    py::str obs_name = fmt("{}_obs", variable);
    py::set key_set;
    for (const Station* s : ordered) {
        for (py::handle key : s->data) {
            if (starts_with(key, prefix)) set_add(key_set, key);
        }
    }
    py::object obs_key =
        contains(key_set, obs_name) ? py::object(obs_name) : py::object(py::none());
    py::list others;
    for (py::handle k : key_set) {
        if (holds(k, obs_name, Py_NE)) others.append(k);
    }
    py::list exp_keys = c.g("sorted")(others);
    py::list plot_keys;
    if (!obs_key.is_none()) plot_keys.append(obs_key);
    for (py::handle k : exp_keys) plot_keys.append(k);

    if (dbg) {
        log_debug(c, fmt("Using {} valid stations out of {}", valid.size(), py::len(data)));
        log_debug(c, fmt("Detected keys: {}", plot_keys));
    }
    if (py::len(plot_keys) == 0) {
        // Only bare variable keys: nothing gives the regional figure a time axis.
        log_warning(c, fmt("No data keys starting with '{}' found; nothing to plot.", prefix));
        return py::none();
    }

    // Regional tables, each key over the valid stations that hold it.
    py::dict regional_mean;
    py::object regional_time, regional_min, regional_max;
    bool first_key = true;
    for (py::handle key : plot_keys) {
        std::vector<const Station*> with_key;
        for (const Station* s : ordered) {
            if (contains(s->data, key)) with_key.push_back(s);
        }
        RegionalSeries agg = aggregate_key(c, with_key, key, first_key);
        regional_mean[key] = agg.mean;
        if (first_key) {
            regional_time = agg.index;
            regional_min = agg.min;
            regional_max = agg.max;
            first_key = false;
        }
    }

    py::object y_limits = py::none();
    if (truthy(fix_y_axis)) {
        py::object low = regional_min.attr("min")(), high = regional_max.attr("max")();
        py::object margin = py::float_(0.05) * (high - low);
        y_limits = py::make_tuple(low - margin, high + margin);
    }
    py::object use_log_y = log_y_axis.is_none() ? c.g("is_log_unit")(unit) : log_y_axis;
    // Titles and file names stay Python text: any name a table or a path
    // holds (surrogate-escaped bytes included) reaches the figure as it is.
    py::str mima(truthy(show_min_max) ? "_minmax" : "");
    py::str yfix(truthy(fix_y_axis) ? "_yfixed" : "");

    {
        py::tuple fig_ax = plt.attr("subplots")("figsize"_a = py::make_tuple(10, 6),
                                                "constrained_layout"_a = true);
        FigureGuard guard(plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        if (truthy(show_min_max)) {
            ax.attr("fill_between")(regional_time, regional_min, regional_max, "color"_a = "gray",
                                    "alpha"_a = 0.2, "label"_a = "Station range");
        }
        if (!obs_key.is_none()) {
            py::dict own("label"_a = "Observation (mean)", "marker"_a = "o", "markersize"_a = 4,
                         "zorder"_a = 3);
            plot_line(ax, regional_time, regional_mean[obs_key], own, c.g("get_line_style")("obs"));
        }
        for (py::handle key : exp_keys) {
            py::object mean = get(regional_mean, key);
            if (mean.is_none() || truthy(mean.attr("isna")().attr("all")())) {
                log_warning(c, fmt("Skipping experiment {}: all values are NaN.", key));
                continue;
            }
            py::object series = mean.attr("reindex")(regional_time).attr("dropna")();
            const size_t n = py::len(series);
            if (n <= 1) {
                log_warning(
                    c, fmt("Skipping experiment {}: not enough data to plot (only {} points).", key,
                           n));
                continue;
            }
            py::object style = c.g("get_line_style")(key);
            style["linewidth"] = 1.5;
            py::object name = py::str(key).attr("replace")(prefix, "");
            py::dict own("label"_a = get(exp_label_map, name, key), "zorder"_a = 2);
            plot_line(ax, series.attr("index"), series.attr("values"), own, style);
            if (dbg) {
                double pct =
                    100.0 * static_cast<double>(n) / static_cast<double>(py::len(regional_time));
                log_debug(c, fmt("[{}] valid data: {:.1f}%", key, pct));
            }
        }
        style_axes(ax, fmt("{}: {} \u2014 {}", region_label, variable, date_range), variable, unit);
        c.g("apply_time_axis_format")(ax, regional_time, force_full_year);
        finish_axes(ax, y_limits, use_log_y);
        ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 12, "frameon"_a = false,
                          "ncol"_a = 2);
        tick_axes(ax);
        py::str stem = fmt("{}_regional_mean{}{}{}", plot_file_base,
                           py::str(truthy(use_log_y) ? "_log" : ""), mima, yfix);
        save_each_format_300_tight(c, plt.attr("savefig"), stem, save_plot_formats);
        guard.close();
    }

    if (!truthy(show_stations)) return py::none();

    StationFileNames file_names(c, "figures");
    for (const Station* s : ordered) {
        py::object times = s->times;
        py::tuple fig_ax = plt.attr("subplots")("figsize"_a = py::make_tuple(10, 6),
                                                "constrained_layout"_a = true);
        FigureGuard guard(plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        bool plotted_any = false;
        for (py::handle key : plot_keys) {
            if (!contains(s->data, key)) continue;
            py::object series = pd.attr("Series")(s->data[key], "index"_a = times).attr("dropna")();
            const size_t n = py::len(series);
            if (n < 2) continue;
            const bool is_obs = !obs_key.is_none() && equals(key, obs_key);
            py::object style = c.g("get_line_style")(is_obs ? py::str("obs") : py::str(key));
            style["linewidth"] = 1.5;
            py::object name = py::str(key).attr("replace")(prefix, "");
            py::dict own("label"_a = get(exp_label_map, name, key));
            plot_line(ax, series.attr("index"), series.attr("values"), own, style);
            plotted_any = true;
            if (dbg) {
                double pct = 100.0 * static_cast<double>(n) / static_cast<double>(py::len(times));
                log_debug(c, fmt("[{}] {}: {:.1f}% valid", s->sid, key, pct));
            }
        }
        if (plotted_any) {
            py::object site_name = get(s->data, "site_name", s->sid);
            py::str station_title = fmt("{} ({})", region_label, site_name);
            style_axes(ax, fmt("{}: {} \u2014 {}", station_title, variable, date_range), variable,
                       unit);
            c.g("apply_time_axis_format")(ax, times, force_full_year);
            finish_axes(ax, y_limits, use_log_y);
            ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 12, "frameon"_a = false);
            tick_axes(ax);
            py::str stem = fmt("{}_{}_log{}{}{}", plot_file_base,
                               file_names.claim(s->sid, site_name), use_log_y, mima, yfix);
            save_each_format_300_tight(c, plt.attr("savefig"), stem, save_plot_formats);
        }
        guard.close();
    }
    end_banner(c, debug, kName, EndForm::Narrow);
    return py::none();
}

}  // namespace

FunctionSpec spec_plot_station_timeseries_collocation() {
    return figure_spec(
        kName, plot_station_timeseries_collocation,
        "Collocated road: the regional mean of the observation and of every\n"
        "experiment over the valid stations, with the station-range band, then one\n"
        "figure per station.\n"
        "\n"
        "config keys: show_stations and show_min_max (on when absent), fix_y_axis,\n"
        "log_y_axis (absent: is_log_unit(unit) decides), force_full_year, plot_region\n"
        "(\"Region\"), start_date and end_date (title text only: they select no rows),\n"
        "experiments and exp_labels (labels only: every <variable>_<experiment> key\n"
        "is drawn); plot_mode, station_plot_group_size and obs_dataset_type are read\n"
        "and change nothing.\n"
        "\n"
        "Writes <plot_file_base>_regional_mean[_log][_minmax][_yfixed].<fmt> and\n"
        "<plot_file_base>_<site_name>_log<choice>[_minmax][_yfixed].<fmt> (300 dpi,\n"
        "tight). Returns None; without a valid station it warns and draws nothing.");
}

}  // namespace kvelo::chronoplex
