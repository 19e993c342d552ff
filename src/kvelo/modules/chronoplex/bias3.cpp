// Bias time series of a collocated run: the regional mean bias of every
// experiment with its station-spread band, and optional per-station bias
// figures with a constant band.  Drawing, dumps and the band repair stay with
// pandas and matplotlib; the station pairs and the regional reductions are
// computed natively where the input allows, with the library's results.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kvelo/core/regional_series.hpp"
#include "kvelo/glue/pyutil.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::glue;
using namespace pybind11::literals;

namespace {

const char* const kName = "plot_station_timeseries_bias3";

// Names and settings fixed once per call.
struct Run {
    explicit Run(const Call& call) : c(call), pd(call.g("pd")), np(call.g("np")), plt(call.g("plt")) {}
    const Call& c;
    py::object pd, np, plt;
    py::object variable, unit, plot_file_base, formats, force_full_year;
    py::object region_label, date_range;
    py::dict label_map;
    py::str obs_key;
    std::vector<py::str> exp_keys;
    bool debug = false;
    bool debug_extended = false;
};

// A key takes part at a station only when present and its list is non-empty.
bool takes_part(py::handle sd, py::handle key) {
    return sd.contains(key) && truthy(sd[key]);
}

// Experiment name to display label; empty unless both texts are set.
py::dict build_label_map(py::handle experiments, py::handle exp_labels) {
    py::dict out;
    if (!truthy(exp_labels) || !truthy(experiments)) return out;
    py::list names = experiments.attr("split")(",");
    py::list labels = exp_labels.attr("split")(",");
    size_t n = std::min(py::len(names), py::len(labels));
    for (size_t i = 0; i < n; ++i) {
        out[names[i].attr("strip")()] = labels[i].attr("strip")();
    }
    return out;
}

py::object exp_label(const Run& r, const py::str& key) {
    py::object name = key.attr("replace")(fmt("{}_", r.variable), "");
    return r.label_map.attr("get")(name, key);
}

// The site name as written in a file name: path separators become "_" so that a
// name never reaches outside the directory it is written to.
std::string safe_site_name(const Run& r, py::handle site_name) {
    std::string name = str(site_name);
    py::object os = r.c.g("os");
    std::vector<std::string> seps = {"/"};
    for (const char* attr : {"sep", "altsep"}) {
        py::object s = os.attr(attr);
        if (!s.is_none()) seps.push_back(str(s));
    }
    for (const std::string& sep : seps) {
        if (sep.empty()) continue;
        for (size_t at = name.find(sep); at != std::string::npos; at = name.find(sep, at + 1)) {
            name.replace(at, sep.size(), "_");
        }
    }
    return name;
}

void write_csv(py::handle frame, py::handle path) { frame.attr("to_csv")(path, "index"_a = false); }

py::object two_columns(const Run& r, py::handle times, py::handle name, py::handle values) {
    py::dict cols;
    cols["time"] = times;
    cols[name] = values;
    return r.pd.attr("DataFrame")(cols);
}

// ---- pairs of one station, natively --------------------------------------

// The values of a list whose items are all floats (numpy's float64 is one);
// false for any other item, so that the table library converts those.
bool float_values(py::handle list, std::vector<double>& out) {
    if (!PyList_Check(list.ptr())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list.ptr(), i);
        if (!PyFloat_Check(item)) return false;
        out[static_cast<size_t>(i)] = PyFloat_AS_DOUBLE(item);
    }
    return true;
}

// Model minus observation where both are present (not NaN); `valid` marks
// those places, `bias` holds their differences in order.
struct Pairs {
    std::vector<uint8_t> valid;
    std::vector<double> bias;
    long long finite_count = 0;  // non-NaN differences (inf - inf is NaN)
};

Pairs pair_up(const std::vector<double>& obs, const std::vector<double>& mod) {
    Pairs p;
    p.valid.resize(obs.size());
    for (size_t i = 0; i < obs.size(); ++i) {
        const bool both = !std::isnan(obs[i]) && !std::isnan(mod[i]);
        p.valid[i] = both;
        if (!both) continue;
        const double d = mod[i] - obs[i];
        p.bias.push_back(d);
        if (!std::isnan(d)) ++p.finite_count;
    }
    return p;
}

template <typename T>
py::array_t<T> to_array(const std::vector<T>& v) {
    return py::array_t<T>(static_cast<py::ssize_t>(v.size()), v.data());
}

// ---- station series ---------------------------------------------------------

struct Station {
    py::object times, obs_list;
    bool native = false;  // observations held as plain floats below
    std::vector<double> obs;
    py::object obs_series;  // the table library's series, made when needed

    const py::object& series(const Run& r) {
        if (!obs_series) obs_series = r.pd.attr("Series")(obs_list, "index"_a = times);
        return obs_series;
    }
};

Station station_series(const Run& r, py::handle sd) {
    Station s;
    s.times = r.pd.attr("to_datetime")(sd.attr("get")("time", py::list()));
    s.obs_list = sd[r.obs_key];
    s.native = float_values(s.obs_list, s.obs) && s.obs.size() == py::len(s.times);
    if (!s.native) s.series(r);  // also raises for a list of the wrong length
    return s;
}

struct Bias {
    py::object mod_values, bias, n_valid;
    long long finite_count = 0;
};

// Model minus observation at the time stamps where both are present.  Plain
// float lists are paired natively, with the same values and index as the
// table library's formulation that serves every other list.
Bias station_bias(const Run& r, Station& s, py::handle values) {
    std::vector<double> mod;
    if (s.native && float_values(values, mod) && mod.size() == s.obs.size()) {
        Pairs p = pair_up(s.obs, mod);
        py::object index = s.times[to_array(p.valid).attr("astype")("bool")];
        py::object bias = r.pd.attr("Series")(to_array(p.bias), "index"_a = index);
        const long long n_valid = static_cast<long long>(p.bias.size());
        return {to_array(mod), bias, py::int_(n_valid), p.finite_count};
    }
    py::object obs = s.series(r);
    py::object series = r.pd.attr("Series")(values, "index"_a = s.times);
    py::object valid = obs.attr("notna")() & series.attr("notna")();
    py::object bias = (series - obs)[valid];
    return {series.attr("values"), bias, valid.attr("sum")(),
            bias.attr("notna")().attr("sum")().cast<long long>()};
}

bool counts(const Bias& b) { return b.finite_count > 1; }

// Line plus band of one experiment; the band takes the line's colour.
void draw_with_band(const Run& r, py::handle ax, const py::str& key, py::handle index,
                    py::handle values, py::handle low, py::handle high) {
    py::object label = exp_label(r, key);
    py::object style = r.c.g("get_line_style")(key);
    style["linewidth"] = 1.5;
    // A style that also names the label fails as a doubled keyword would.
    py::dict style_kwargs(style);
    ax.attr("plot")(index, values, "label"_a = label, **style_kwargs);
    ax.attr("fill_between")(index, low, high, "color"_a = style_kwargs.attr("get")("color", "gray"),
                            "alpha"_a = 0.2, "label"_a = fmt("{} ±RMSE", label));
}

// Title, zero line, labels, time axis, grids, legend, ticks and files of one
// bias figure.
void finish_figure(const Run& r, py::handle fig, py::handle ax, py::handle title,
                   double zero_alpha, py::handle time_index, const std::string& stem) {
    ax.attr("set_title")(title, "fontsize"_a = 18, "pad"_a = 6, "alpha"_a = 0.8);
    ax.attr("axhline")(0, "color"_a = "black", "linewidth"_a = 1.0, "linestyle"_a = "--",
                       "alpha"_a = zero_alpha);
    ax.attr("set_xlabel")("Time", "fontsize"_a = 14);
    ax.attr("set_ylabel")(fmt("{} Bias [{}]", r.variable, r.unit), "fontsize"_a = 14);
    if (!time_index.is_none()) {
        r.c.g("apply_time_axis_format")(ax, time_index, r.force_full_year);
    } else {
        log_warning(r.c, py::str("No valid time series for regional bias plot — axis format "
                                 "skipped."));
    }
    ax.attr("grid")(true, "which"_a = "major", "linestyle"_a = "-", "linewidth"_a = 0.3);
    ax.attr("grid")(true, "which"_a = "minor", "linestyle"_a = ":", "linewidth"_a = 0.2);
    ax.attr("set_axisbelow")(true);
    ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 12, "frameon"_a = false,
                      "ncol"_a = 2);
    ax.attr("tick_params")("axis"_a = "x", "labelsize"_a = 12, "pad"_a = 6);
    ax.attr("tick_params")("axis"_a = "y", "labelsize"_a = 12, "pad"_a = 6);
    for (py::handle word : r.formats) {
        py::str fname = fmt("{}{}.{}", r.plot_file_base, py::str(stem), word);
        fig.attr("savefig")(fname, "dpi"_a = 300, "bbox_inches"_a = "tight");
        log_info(r.c, fmt("Saved: {}", fname));
    }
}

py::tuple new_figure(const Run& r) {
    return r.plt.attr("subplots")("figsize"_a = py::make_tuple(10, 6),
                                  "constrained_layout"_a = true);
}

void finish_run(const Run& r, long long valid_station_count, py::handle data) {
    if (r.debug) {
        log_debug(r.c, fmt("Total stations with bias: {} / {}", valid_station_count,
                           py::len(data)));
    }
    end_banner(r.c, py::bool_(r.debug), kName);
}

struct Regional {
    py::object table, mean, band;
};

// Station series side by side over the union of their time stamps; repeated
// time stamps within one station are averaged first so the columns align.
Regional regional_by_library(const Run& r, const py::list& series) {
    py::list columns;
    for (py::handle s : series) {
        py::object col = py::reinterpret_borrow<py::object>(s);
        if (!truthy(col.attr("index").attr("is_unique"))) {
            col = col.attr("groupby")("level"_a = 0).attr("mean")();
        }
        columns.append(col);
    }
    py::object table = r.pd.attr("concat")(columns, "axis"_a = 1);
    py::object mean = table.attr("mean")("axis"_a = 1);
    py::object spread =
        table.attr("sub")(mean, "axis"_a = 0).attr("pow")(2).attr("mean")("axis"_a = 1);
    return {table, mean, r.np.attr("sqrt")(spread)};
}

// The same mean and spread natively, for series on strictly increasing naive
// nanosecond stamps: the per-time reductions follow the library's summation
// (core::aggregate_stations), so the values are the same to the last bit.
// False when a series does not qualify.
bool regional_natively(const Run& r, const py::list& series, Regional& out) {
    std::vector<core::StampSeries> stations;
    stations.reserve(py::len(series));
    for (py::handle s : series) {
        py::object index = s.attr("index");
        py::object values = s.attr("values");
        if (str(index.attr("dtype")) != "datetime64[ns]" ||
            str(values.attr("dtype")) != "float64" ||
            !truthy(index.attr("is_monotonic_increasing")) || !truthy(index.attr("is_unique"))) {
            return false;
        }
        auto t = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(
            index.attr("asi8"));
        auto v = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values);
        core::StampSeries st;
        st.time.assign(t.data(), t.data() + t.size());
        st.value.assign(v.data(), v.data() + v.size());
        if (!st.time.empty() && st.time.front() == core::kNaT) return false;
        stations.push_back(std::move(st));
    }
    core::RegionalAggregate agg = core::aggregate_stations(stations, false);
    // Squared deviations from the regional mean, on each station's own stamps.
    for (core::StampSeries& st : stations) {
        size_t row = 0;
        for (size_t k = 0; k < st.time.size(); ++k) {
            while (agg.time[row] < st.time[k]) ++row;
            const double d = st.value[k] - agg.mean[row];
            st.value[k] = d * d;
        }
    }
    core::RegionalAggregate spread = core::aggregate_stations(stations, false);

    py::array_t<int64_t> stamps(static_cast<py::ssize_t>(agg.time.size()));
    std::copy(agg.time.begin(), agg.time.end(), stamps.mutable_data());
    py::object index = r.pd.attr("DatetimeIndex")(stamps.attr("view")("M8[ns]"));
    out.table = py::none();
    out.mean = r.pd.attr("Series")(to_array(agg.mean), "index"_a = index);
    out.band = r.np.attr("sqrt")(r.pd.attr("Series")(to_array(spread.mean), "index"_a = index));
    return true;
}

// The bias table itself is kept only when it is dumped.
Regional regional_series(const Run& r, const py::list& series) {
    Regional out;
    if (!r.debug_extended && regional_natively(r, series, out)) return out;
    return regional_by_library(r, series);
}

// The band on the series' time stamps with its gaps closed.
py::object repaired_band(py::handle band, py::handle series) {
    py::object out =
        band.attr("reindex")(series.attr("index")).attr("interpolate")("method"_a = "linear");
    if (truthy(out.attr("isna")().attr("any")())) out = out.attr("bfill")().attr("ffill")();
    return out;
}

py::object plot_station_timeseries_bias3(const Call& c) {
    py::object config = c[0], data = c[1];
    Run r(c);
    r.plot_file_base = c[5];
    r.formats = c[6];
    r.variable = c[8];
    r.unit = c[9];
    py::object tavg = c[10];
    r.debug = truthy(c[11]);
    start_banner(c, c[11], kName);

    get(config, "obs_dataset_type");
    py::object plot_region = get(config, "plot_region", py::str("Region"));
    py::object start_date = get(config, "start_date");
    py::object end_date = get(config, "end_date");
    r.region_label = c.g("get_readable_region_name")(plot_region);
    py::object show_stations = get(config, "show_stations");
    py::object exp_labels = get(config, "exp_labels");
    py::object experiments = get(config, "experiments");
    r.date_range = fmt("{} to {} ({})", start_date, end_date, tavg);
    r.debug_extended = truthy(get(config, "debug_extended"));
    r.force_full_year = get(config, "force_full_year");
    r.label_map = build_label_map(experiments, exp_labels);

    c.g("sns").attr("set_theme")("style"_a = "whitegrid");

    py::list station_ids = py::module_::import("builtins").attr("sorted")(data);
    r.obs_key = fmt("{}_obs", r.variable);
    py::str prefix = fmt("{}_", r.variable);
    py::set seen;
    for (py::handle sid : station_ids) {
        for (py::handle key : data[sid]) {
            if (truthy(key.attr("startswith")(prefix)) && !truthy(key.attr("__eq__")(r.obs_key))) {
                seen.add(key);
            }
        }
    }
    for (py::handle key : py::module_::import("builtins").attr("sorted")(seen)) {
        r.exp_keys.push_back(py::reinterpret_borrow<py::str>(key));
    }
    py::object bias_series = c.g("defaultdict")(py::module_::import("builtins").attr("list"));
    for (const py::str& key : r.exp_keys) bias_series[key] = py::list();

    // Collecting pass: every station with observations, every experiment there.
    long long valid_station_count = 0;
    for (py::handle sid : station_ids) {
        py::object sd = data[sid];
        py::object site_name = sd.attr("get")("site_name", "unknown_site");
        if (!takes_part(sd, r.obs_key)) continue;
        Station st = station_series(r, sd);
        std::string site = r.debug_extended ? safe_site_name(r, site_name) : std::string();
        if (r.debug_extended) {
            write_csv(two_columns(r, st.times, r.obs_key, st.series(r).attr("values")),
                      fmt("output/debug_obs_{}.csv", py::str(site)));
        }
        ++valid_station_count;
        for (const py::str& key : r.exp_keys) {
            if (!takes_part(sd, key)) continue;
            Bias b = station_bias(r, st, sd[key]);
            if (r.debug_extended) {
                write_csv(two_columns(r, st.times, key, b.mod_values),
                          fmt("output/debug_mod_{}_{}.csv", key, py::str(site)));
                write_csv(two_columns(r, b.bias.attr("index"), py::str("bias"),
                                      b.bias.attr("values")),
                          fmt("output/debug_bias_{}_{}.csv", key, py::str(site)));
            }
            if (counts(b)) {
                bias_series[key].attr("append")(b.bias);
            } else if (r.debug) {
                log_debug(c, fmt("[{}] Skipping bias for {}: insufficient overlap ({} valid "
                                 "points).",
                                 sid, key, b.n_valid));
            }
        }
    }

    std::map<std::string, Regional> regional;
    for (const py::str& key : r.exp_keys) {
        py::list series = bias_series[key];
        if (py::len(series) > 0) regional.emplace(str(key), regional_series(r, series));
    }
    if (regional.empty()) {
        log_warning(c, py::str("No stations had valid data for bias plotting. Skipping."));
        end_banner(c, c[11], kName);
        return py::none();
    }

    {
        py::tuple fig_ax = new_figure(r);
        FigureGuard guard(r.plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        py::object time_index = py::none();
        for (const py::str& key : r.exp_keys) {
            auto found = regional.find(str(key));
            if (found == regional.end()) continue;
            const Regional& reg = found->second;
            py::object series = reg.mean.attr("sort_index")();
            py::object band = repaired_band(reg.band, series);
            if (truthy(band.attr("isna")().attr("all")())) {
                log_warning(c, fmt("RMSE band for {} is all NaN — skipping shading.",
                                   exp_label(r, key)));
                continue;
            }
            if (r.debug) {
                print(fmt("[{}] Bias mean shape: {}", key, reg.mean.attr("shape")));
                print(fmt("[{}] RMSE shape: {}", key, reg.band.attr("shape")));
                print(fmt("[{}] RMSE band NaNs: {} / {}", key, band.attr("isna")().attr("sum")(),
                          py::len(band)));
                print(fmt("[{}] RMSE band min/max: {} / {}", key, band.attr("min")(),
                          band.attr("max")()));
            }
            if (r.debug_extended) {
                write_csv(reg.mean, fmt("output/debug_bias_mean_{}.csv", key));
                write_csv(reg.table, fmt("output/debug_bias_matrix_{}.csv", key));
            }
            time_index = series.attr("index");
            py::object values = series.attr("values");
            py::object width = band.attr("values");
            draw_with_band(r, ax, key, time_index, values, values - width, values + width);
        }
        finish_figure(r, fig_ax[0], ax,
                      fmt("{}: {} Bias [model - obs] — {}", r.region_label, r.variable,
                          r.date_range),
                      0.7, time_index, "_regional_bias");
        guard.close();
    }

    if (!truthy(show_stations)) {
        finish_run(r, valid_station_count, data);
        return py::none();
    }

    // Station figures: one per station that has at least one counting series.
    valid_station_count = 0;
    for (py::handle sid : station_ids) {
        py::object sd = data[sid];
        if (!takes_part(sd, r.obs_key)) continue;
        py::object site_name = sd.attr("get")("site_name", sid);
        Station st = station_series(r, sd);
        py::tuple fig_ax = new_figure(r);
        FigureGuard guard(r.plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        py::object time_index = py::none();
        for (const py::str& key : r.exp_keys) {
            if (!takes_part(sd, key)) continue;
            Bias b = station_bias(r, st, sd[key]);
            if (!counts(b)) {
                if (r.debug) {
                    log_debug(c, fmt("[{}] Skipping bias for {}: not enough overlap.", sid, key));
                }
                continue;
            }
            py::object values = b.bias.attr("values");
            py::object deviation = b.bias - b.bias.attr("mean")();
            py::object width = r.np.attr("sqrt")((deviation * deviation).attr("mean")());
            time_index = b.bias.attr("index");
            draw_with_band(r, ax, key, time_index, values, values - width, values + width);
        }
        if (time_index.is_none()) {
            if (r.debug) {
                log_debug(c, fmt("[{}] No valid bias entries → excluded from plotting.", sid));
            }
            guard.close();
            continue;
        }
        ++valid_station_count;
        finish_figure(r, fig_ax[0], ax,
                      fmt("{} ({}): {} Bias [model - obs] — {}", r.region_label, site_name,
                          r.variable, r.date_range),
                      0.9, time_index, "_" + safe_site_name(r, site_name) + "_bias");
        guard.close();
    }
    finish_run(r, valid_station_count, data);
    return py::none();
}

}  // namespace

FunctionSpec spec_plot_station_timeseries_bias3() {
    return figure_spec(kName, plot_station_timeseries_bias3);
}

}  // namespace kvelo::chronoplex
