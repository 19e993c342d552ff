// Second bias variant: observation minus model for the experiments of the
// first station, the regional mean with the spread between the stations as
// its band, then bias lines without bands for every station that has any.
// Station files are named by identifier.
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/chronoplex/axes.hpp"
#include "kvelo/modules/chronoplex/bias_common.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"
#include "kvelo/modules/chronoplex/station_files.hpp"
#include "kvelo/shared/figures.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

const char* const kName = "plot_station_timeseries_bias2";

// Zero line, title, labels, time axis, grid and legend of either figure.
void finish_axes(const bias::Run& r, py::handle ax, py::handle title, py::handle times,
                 py::handle force_full_year) {
    ax.attr("axhline")(0, "linestyle"_a = "--", "color"_a = "black", "linewidth"_a = 0.8);
    ax.attr("set_title")(title, "fontsize"_a = 12);
    ax.attr("set_xlabel")("Time");
    ax.attr("set_ylabel")(fmt("Bias [{}]", r.unit));
    r.c.g("apply_time_axis_format")(ax, times, force_full_year);
    ax.attr("grid")(true, "which"_a = "both", "linestyle"_a = "--", "alpha"_a = 0.3);
    ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 9, "frameon"_a = false);
}

py::object plot_station_timeseries_bias2(const Call& c) {
    bias::Run r(c);
    start_banner(c, r.debug_flag, kName);

    const bias::RegionSettings settings = bias::region_settings(r);
    const bias::Stations stations = bias::sorted_stations(r);
    if (stations.data.empty()) {
        // The experiments come from the first station; without one there is nothing.
        log_warning(c, py::str("No stations in the data; skipping bias plotting."));
        end_banner(c, r.debug_flag, kName, EndForm::Narrow);
        return py::none();
    }
    const std::vector<py::object> exp_keys = bias::experiment_keys(r, {stations.data[0]});

    // Collection: the counted bias series of every station, before any figure.
    // Series are kept by the key's place in exp_keys (the keys are distinct),
    // so the keys stay Python objects whatever text they hold.
    struct Record {
        py::object sid, site_name, times;
        std::vector<py::object> bias;  // per experiment key: counted series, or null
        bool any = false;
    };
    std::vector<Record> bias_data;
    for (size_t i = 0; i < stations.data.size(); ++i) {
        const py::object& sd = stations.data[i];
        py::object sid = stations.ids[i];
        bias::Station st = bias::station_series(r, sd, get(sd, r.obs_key, py::list()));
        Record rec{py::reinterpret_borrow<py::object>(sid), get(sd, "site_name", sid), st.times,
                   std::vector<py::object>(exp_keys.size())};
        for (size_t k = 0; k < exp_keys.size(); ++k) {
            const py::object& key = exp_keys[k];
            py::object values = get(sd, key, py::list());
            bias::Bias b = bias::station_bias(r, st, values, bias::Sign::ObsMinusModel);
            if (b.finite_count >= 2) {
                rec.bias[k] = b.bias;
                rec.any = true;
            } else if (r.debug) {
                log_debug(c, fmt("[{}] Skipping bias for {}: insufficient overlap ({} valid "
                                 "points).",
                                 sid, key, b.n_valid));
            }
        }
        if (rec.any) {
            bias_data.push_back(std::move(rec));
        } else if (r.debug) {
            log_debug(c, fmt("[{}] No valid bias entries → excluded from plotting.", sid));
        }
    }
    if (r.debug) {
        log_debug(c, fmt("Total stations with bias: {} / {}", bias_data.size(), py::len(r.data)));
    }

    // Regional mean and station spread of every key that some station holds.
    // Per experiment key, by its place; a null mean where no record holds the key.
    std::vector<RegionalSeries> regional(exp_keys.size());
    py::object all_time;
    for (size_t k = 0; k < exp_keys.size(); ++k) {
        py::list series;
        for (const Record& rec : bias_data) {
            if (rec.bias[k]) series.append(rec.bias[k]);
        }
        if (py::len(series) == 0) continue;
        regional[k] = bias::regional_series(r, series, {.sort_rows = true, .spread = true});
        all_time = regional[k].mean.attr("index");
    }

    if (all_time) {
        py::tuple fig_ax = bias::new_figure(r, 12);
        FigureGuard guard(r.plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        for (size_t k = 0; k < exp_keys.size(); ++k) {
            const RegionalSeries& reg = regional[k];
            if (!reg.mean) continue;
            const py::object& key = exp_keys[k];
            py::object style = bias::line_style(r, key);
            py::object index = reg.mean.attr("index");
            plot_line(ax, index, reg.mean.attr("values"),
                      py::dict("label"_a = fmt("{} (bias)", key)), style);
            bias::fill_band(ax, index, reg.mean - reg.band, reg.mean + reg.band, style,
                            fmt("{} ±RMSE", key));
        }
        finish_axes(r, ax,
                    fmt("{}: {} Bias [obs - model] — {}", settings.region_label, r.variable,
                        settings.date_range),
                    all_time, settings.force_full_year);
        bias::save_figure(r, fig_ax[0], py::str("_regional_bias"));
        guard.close();
    }

    StationFileNames file_names(c, "figures", "regional");
    for (const Record& rec : bias_data) {
        py::object times = r.pd.attr("to_datetime")(rec.times);
        py::tuple fig_ax = bias::new_figure(r, 12);
        FigureGuard guard(r.plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        for (size_t k = 0; k < exp_keys.size(); ++k) {
            const py::object& b = rec.bias[k];
            if (!b || py::len(b) < 2) continue;
            const py::object& key = exp_keys[k];
            py::object style = bias::line_style(r, key);
            plot_line(ax, b.attr("index"), b.attr("values"),
                      py::dict("label"_a = fmt("{} (bias)", key)), style);
        }
        finish_axes(
            r, ax,
            fmt("{} ({}): {} Bias — {}", rec.site_name, rec.sid, r.variable, settings.date_range),
            times, settings.force_full_year);
        bias::save_figure(r, fig_ax[0], fmt("_{}_bias", file_names.claim(rec.sid, rec.sid)));
        guard.close();
    }
    end_banner(c, r.debug_flag, kName, EndForm::Narrow);
    return py::none();
}

}  // namespace

FunctionSpec spec_plot_station_timeseries_bias2() {
    return figure_spec(
        kName, plot_station_timeseries_bias2,
        "Bias of the first station's experiments, observation minus model: the\n"
        "regional mean with the spread between the stations as its band (labelled\n"
        "±RMSE), then bias lines without bands, one figure per station.\n"
        "Experiments the first station lacks are drawn nowhere.\n"
        "\n"
        "config keys: plot_region (\"Region\"), start_date and end_date (title text\n"
        "only), force_full_year.\n"
        "\n"
        "Writes, when some station has 2 or more pairs, <plot_file_base>_regional_bias\n"
        "and <plot_file_base>_<site_id>_bias per such station, .<fmt> for every format\n"
        "word (300 dpi, tight). Returns None; without any such pair it draws nothing\n"
        "and logs no warning.");
}

}  // namespace kvelo::chronoplex
