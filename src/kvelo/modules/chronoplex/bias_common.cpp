#include "kvelo/modules/chronoplex/bias_common.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

#include "kvelo/binding/arrays.hpp"
#include "kvelo/binding/function.hpp"
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
      config(call.arg("config")),
      data(call.arg("data")),
      plot_file_base(call.arg("plot_file_base")),
      formats(call.arg("save_plot_formats")),
      variable(call.arg("variable")),
      unit(call.arg("unit")),
      tavg(call.arg("tavg")),
      debug_flag(call.arg("debug")),
      debug(truthy(debug_flag)),
      obs_key(fmt("{}_obs", variable)),
      prefix(fmt("{}_", variable)) {}

Stations sorted_stations(const Run& r) {
    Stations out{r.c.g("sorted")(r.data), {}};
    for (py::handle sid : out.ids) out.data.push_back(r.data[sid]);
    return out;
}

RegionSettings region_settings(const Run& r) {
    const py::object& config = r.config;
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
            if (truthy(key.attr("startswith")(r.prefix)) && holds(key, r.obs_key, Py_NE)) {
                set_add(seen, key);
            }
        }
    }
    py::list sorted = r.c.g("sorted")(seen);
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
    s.times = r.pd.attr("to_datetime")(get(sd, "time", py::list()));
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

RegionalSeries regional_series(const Run& r, const py::list& series, const Reduction& how,
                               bool keep_table) {
    Regional regional(r.c, Duplicates::AveragedWhenRepeated, !keep_table);
    for (py::handle s : series) {
        py::object one = py::reinterpret_borrow<py::object>(s);
        regional.add(
            [&](NativeRegional& n) { return n.add(one.attr("index"), one.attr("values")); },
            [one] { return one; }, py::handle());
    }
    return regional.reduce(how);
}

py::object line_style(const Run& r, py::handle key) {
    py::object style = r.c.g("get_line_style")(key);
    style["linewidth"] = 1.5;
    return style;
}

void fill_band(py::handle ax, py::handle x, py::handle low, py::handle high, py::handle style,
               py::handle label) {
    ax.attr("fill_between")(x, low, high, "color"_a = get(style, "color", py::str("gray")),
                            "alpha"_a = 0.2, "label"_a = label);
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
