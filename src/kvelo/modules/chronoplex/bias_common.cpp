#include "kvelo/modules/chronoplex/bias_common.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>

#include "kvelo/binding/function.hpp"
#include "kvelo/core/regional_series.hpp"
#include "kvelo/binding/arrays.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/figures.hpp"

namespace kvelo::chronoplex::bias {

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

Run::Run(const Call& call)
    : c(call),
      pd(call.g("pd")),
      np(call.g("np")),
      plt(call.g("plt")),
      plot_file_base(call[5]),
      formats(call[6]),
      variable(call[8]),
      unit(call[9]),
      tavg(call[10]),
      debug_flag(call[11]),
      debug(truthy(call[11])),
      obs_key(fmt("{}_obs", call[8])),
      prefix(fmt("{}_", call[8])) {}

Stations sorted_stations(py::handle data) {
    Stations out{py::module_::import("builtins").attr("sorted")(data), {}};
    for (py::handle sid : out.ids) out.data.push_back(data[sid]);
    return out;
}

RegionSettings region_settings(const Run& r, py::handle config) {
    py::object plot_region = get(config, "plot_region", py::str("Region"));
    py::object start_date = get(config, "start_date");
    py::object end_date = get(config, "end_date");
    RegionSettings out;
    out.region_label = r.c.g("get_readable_region_name")(plot_region);
    out.date_range = fmt("[{} to {}] ({})", start_date, end_date, r.tavg);
    out.force_full_year = get(config, "force_full_year", py::none());
    r.c.g("sns").attr("set_theme")("style"_a = "whitegrid");
    return out;
}

std::vector<py::object> experiment_keys(const Run& r, const std::vector<py::object>& stations) {
    py::set seen;
    for (const py::object& sd : stations) {
        for (py::handle key : sd) {
            if (truthy(key.attr("startswith")(r.prefix)) && key.not_equal(r.obs_key)) {
                set_add(seen, key);
            }
        }
    }
    py::list sorted = py::module_::import("builtins").attr("sorted")(seen);
    std::vector<py::object> out;
    for (py::handle key : sorted) out.push_back(py::reinterpret_borrow<py::object>(key));
    return out;
}

bool takes_part(py::handle sd, py::handle key) {
    // `key in sd`, as the interpreter tests it (any truth value, or iteration).
    return contains(sd, key) && truthy(sd[key]);
}

namespace {

struct Pairs {
    std::vector<uint8_t> valid;
    std::vector<double> bias;
    long long finite_count = 0;
};

Pairs pair_up(const std::vector<double>& obs, const std::vector<double>& mod, Sign sign) {
    Pairs p;
    p.valid.resize(obs.size());
    for (size_t i = 0; i < obs.size(); ++i) {
        const bool both = !std::isnan(obs[i]) && !std::isnan(mod[i]);
        p.valid[i] = both;
        if (!both) continue;
        const double d = sign == Sign::ModelMinusObs ? mod[i] - obs[i] : obs[i] - mod[i];
        p.bias.push_back(d);
        if (!std::isnan(d)) ++p.finite_count;
    }
    return p;
}

py::object library_series(const Run& r, py::handle values, py::handle times, bool as_float64) {
    py::object s = r.pd.attr("Series")(values, "index"_a = times);
    return as_float64 ? s.attr("astype")("float64") : s;
}

}  // namespace

const py::object& Station::series(const Run& r) {
    if (!obs_series) obs_series = library_series(r, obs_list, times, as_float64);
    return obs_series;
}

Station station_series(const Run& r, py::handle sd, py::handle obs_values, bool as_float64) {
    Station s;
    s.times = r.pd.attr("to_datetime")(sd.attr("get")("time", py::list()));
    s.obs_list = py::reinterpret_borrow<py::object>(obs_values);
    s.as_float64 = as_float64;
    s.native = float_list_values(s.obs_list, s.obs) && s.obs.size() == py::len(s.times);
    if (!s.native) s.series(r);  // also raises for a list of the wrong length
    return s;
}

Bias station_bias(const Run& r, Station& s, py::handle values, Sign sign) {
    std::vector<double> mod;
    if (s.native && float_list_values(values, mod) && mod.size() == s.obs.size()) {
        Pairs p = pair_up(s.obs, mod, sign);
        py::object index = s.times[to_array(p.valid).attr("astype")("bool")];
        py::object bias = r.pd.attr("Series")(to_array(p.bias), "index"_a = index);
        return {to_array(mod), bias, static_cast<long long>(p.bias.size()), p.finite_count};
    }
    py::object obs = s.series(r);
    py::object series = library_series(r, values, s.times, s.as_float64);
    py::object valid = obs.attr("notna")() & series.attr("notna")();
    py::object diff = sign == Sign::ModelMinusObs ? series - obs : obs - series;
    py::object bias = diff[valid];
    return {series.attr("values"), bias, index_saturated(valid.attr("sum")()),
            index_saturated(bias.attr("notna")().attr("sum")())};
}

py::object population_spread(const Run& r, py::handle series) {
    py::object deviation = series - series.attr("mean")();
    return r.np.attr("sqrt")((deviation * deviation).attr("mean")());
}

namespace {

Regional regional_by_library(const Run& r, const py::list& series, RegionalSpec spec) {
    py::list columns;
    for (py::handle s : series) {
        py::object col = py::reinterpret_borrow<py::object>(s);
        if (!truthy(col.attr("index").attr("is_unique"))) {
            col = col.attr("groupby")("level"_a = 0).attr("mean")();
        }
        columns.append(col);
    }
    Regional out;
    out.table = r.pd.attr("concat")(columns, "axis"_a = 1);
    if (spec.sort_rows) out.table = out.table.attr("sort_index")();
    out.mean = out.table.attr("mean")("axis"_a = 1);
    if (spec.spread) {
        py::object squares = out.table.attr("sub")(out.mean, "axis"_a = 0).attr("pow")(2);
        out.band = r.np.attr("sqrt")(squares.attr("mean")("axis"_a = 1));
    }
    return out;
}

// The same natively, for series on strictly increasing naive nanosecond
// stamps with float64 values: the per-time reductions follow the library's
// summation (core::aggregate_stations), so the values are the same to the
// last bit; the union of increasing stamps comes out sorted either way.
// False when a series does not qualify.
bool regional_natively(const Run& r, const py::list& series, RegionalSpec spec, Regional& out) {
    std::vector<core::StampSeries> stations;
    stations.reserve(py::len(series));
    for (py::handle s : series) {
        py::object index = s.attr("index");
        py::object values = s.attr("values");
        if (!str_is(index.attr("dtype"), "datetime64[ns]") ||
            !str_is(values.attr("dtype"), "float64") ||
            !truthy(index.attr("is_monotonic_increasing")) || !truthy(index.attr("is_unique"))) {
            return false;
        }
        // Contiguous copies where needed; a failure (memory) propagates as raised.
        py::array_t<int64_t, py::array::c_style | py::array::forcecast> t(index.attr("asi8"));
        py::array_t<double, py::array::c_style | py::array::forcecast> v(values);
        if (t.ndim() != 1 || v.ndim() != 1 || t.size() != v.size()) return false;
        core::StampSeries st;
        st.time.assign(t.data(), t.data() + t.size());
        st.value.assign(v.data(), v.data() + v.size());
        // The index's own answers are not taken on trust: the kernel's merge
        // and the walk below need stamps that strictly increase.
        if (std::adjacent_find(st.time.begin(), st.time.end(), std::greater_equal<int64_t>()) !=
                st.time.end() ||
            (!st.time.empty() && st.time.front() == core::kNaT)) {
            return false;
        }
        stations.push_back(std::move(st));
    }
    core::RegionalAggregate agg = core::aggregate_stations(stations, false);

    py::array_t<int64_t> stamps(static_cast<py::ssize_t>(agg.time.size()));
    std::copy(agg.time.begin(), agg.time.end(), stamps.mutable_data());
    py::object index = r.pd.attr("DatetimeIndex")(stamps.attr("view")("M8[ns]"));
    out.table = py::none();
    out.mean = r.pd.attr("Series")(to_array(agg.mean), "index"_a = index);
    if (!spec.spread) return true;
    // Squared deviations from the regional mean, on each station's own stamps.
    for (core::StampSeries& st : stations) {
        size_t row = 0;
        for (size_t k = 0; k < st.time.size(); ++k) {
            // Every stamp of a station is in the union, at or after `row`.
            while (row + 1 < agg.time.size() && agg.time[row] < st.time[k]) ++row;
            const double d = st.value[k] - agg.mean[row];
            st.value[k] = d * d;
        }
    }
    core::RegionalAggregate spread = core::aggregate_stations(stations, false);
    out.band = r.np.attr("sqrt")(r.pd.attr("Series")(to_array(spread.mean), "index"_a = index));
    return true;
}

}  // namespace

Regional regional_series(const Run& r, const py::list& series, RegionalSpec spec) {
    Regional out;
    if (!spec.keep_table && regional_natively(r, series, spec, out)) return out;
    return regional_by_library(r, series, spec);
}

py::object line_style(const Run& r, py::handle key) {
    py::object style = r.c.g("get_line_style")(key);
    style["linewidth"] = 1.5;
    return style;
}

void plot_line(py::handle ax, py::handle x, py::handle y, py::handle label, py::handle style) {
    // Merged as `**style` is: a style that also names the label, that is no
    // mapping or whose keys are no texts fails with the interpreter's error.
    py::dict own;
    own["label"] = label;
    call_kw(ax.attr("plot"), py::make_tuple(x, y), own, style);
}

void fill_band(py::handle ax, py::handle x, py::handle low, py::handle high, py::handle style,
               py::handle label) {
    ax.attr("fill_between")(x, low, high, "color"_a = style.attr("get")("color", "gray"),
                            "alpha"_a = 0.2, "label"_a = label);
}

void grids(py::handle ax) {
    ax.attr("grid")(true, "which"_a = "major", "linestyle"_a = "-", "linewidth"_a = 0.3);
    ax.attr("grid")(true, "which"_a = "minor", "linestyle"_a = ":", "linewidth"_a = 0.2);
    ax.attr("set_axisbelow")(true);
}

py::tuple new_figure(const Run& r, int width) {
    return r.plt.attr("subplots")("figsize"_a = py::make_tuple(width, 6),
                                  "constrained_layout"_a = true);
}

void save_figure(const Run& r, py::handle fig, py::handle stem) {
    save_each_format_300_tight(r.c, fig.attr("savefig"), fmt("{}{}", r.plot_file_base, stem),
                               r.formats);
}

}  // namespace kvelo::chronoplex::bias
