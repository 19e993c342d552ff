// Bias time series of a collocated run: the regional mean bias of every
// experiment with its station-spread band, and optional per-station bias
// figures with a constant band.  Drawing, dumps and the band repair stay with
// pandas and matplotlib; the station pairs and the regional reductions are
// computed natively where the input allows, with the library's results.
#include <algorithm>
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

const char* const kName = "plot_station_timeseries_bias3";

// Settings of bias3 beyond those every bias function has.
struct Run : bias::Run {
    explicit Run(const Call& call) : bias::Run(call) {}
    py::object force_full_year, region_label, date_range;
    py::dict label_map;
    std::vector<py::object> exp_keys;
    py::object debug_extended;
    // Tested where the dumps are due (per station, per regional experiment), so
    // a run that reaches no dump never asks the setting's truth value.
    bool dumps() const { return truthy(debug_extended); }
};

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

py::object exp_label(const Run& r, py::handle key) {
    py::object name = key.attr("replace")(r.prefix, "");
    return get(r.label_map, name, key);
}

void write_csv(py::handle frame, py::handle path) { frame.attr("to_csv")(path, "index"_a = false); }

py::object two_columns(const Run& r, py::handle times, py::handle name, py::handle values) {
    py::dict cols;
    cols["time"] = times;
    cols[name] = values;
    return r.pd.attr("DataFrame")(cols);
}

// Model minus observation counts at a station with more than one non-NaN entry.
bool counts(const bias::Bias& b) { return b.finite_count > 1; }

// Line plus band of one experiment; the band takes the line's colour.
void draw_with_band(const Run& r, py::handle ax, py::handle key, py::handle index,
                    py::handle values, py::handle low, py::handle high) {
    py::object label = exp_label(r, key);
    py::object style = bias::line_style(r, key);
    plot_line(ax, index, values, py::dict("label"_a = label), style);
    bias::fill_band(ax, index, low, high, style, fmt("{} ±RMSE", label));
}

// Title, zero line, labels, time axis, grids, legend, ticks and files of one
// bias figure.
void finish_figure(const Run& r, py::handle fig, py::handle ax, py::handle title, double zero_alpha,
                   py::handle time_index, py::handle stem) {
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
    draw_grids(ax, GridColour::Default);
    ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 12, "frameon"_a = false,
                      "ncol"_a = 2);
    tick_axes(ax);
    bias::save_figure(r, fig, stem);
}

void finish_run(const Run& r, long long valid_station_count) {
    if (r.debug) {
        log_debug(r.c,
                  fmt("Total stations with bias: {} / {}", valid_station_count, py::len(r.data)));
    }
    end_banner(r.c, r.debug_flag, kName);
}

// The band on the series' time stamps with its gaps closed.
py::object repaired_band(py::handle band, py::handle series) {
    py::object out =
        band.attr("reindex")(series.attr("index")).attr("interpolate")("method"_a = "linear");
    if (truthy(out.attr("isna")().attr("any")())) out = out.attr("bfill")().attr("ffill")();
    return out;
}

py::object plot_station_timeseries_bias3(const Call& c) {
    Run r(c);
    const py::object& config = r.config;
    start_banner(c, r.debug_flag, kName);

    get(config, "obs_dataset_type");
    py::object plot_region = get(config, "plot_region", py::str("Region"));
    py::object start_date = get(config, "start_date");
    py::object end_date = get(config, "end_date");
    r.region_label = c.g("get_readable_region_name")(plot_region);
    py::object show_stations = get(config, "show_stations");
    py::object exp_labels = get(config, "exp_labels");
    py::object experiments = get(config, "experiments");
    r.date_range = fmt("{} to {} ({})", start_date, end_date, r.tavg);
    r.debug_extended = get(config, "debug_extended");
    r.force_full_year = get(config, "force_full_year");
    r.label_map = build_label_map(experiments, exp_labels);

    c.g("sns").attr("set_theme")("style"_a = "whitegrid");

    const bias::Stations stations = bias::sorted_stations(r);
    r.exp_keys = bias::experiment_keys(r, stations.data);
    py::object bias_series = c.g("defaultdict")(c.g("list"));
    for (const py::object& key : r.exp_keys) bias_series[key] = py::list();

    // Collecting pass: every station with observations, every experiment there.
    long long valid_station_count = 0;
    StationFileNames dump_names(c, "debug dumps");
    for (size_t i = 0; i < stations.data.size(); ++i) {
        const py::object& sd = stations.data[i];
        py::object sid = stations.ids[i];
        py::object site_name = get(sd, "site_name", py::str("unknown_site"));
        if (!bias::takes_part(sd, r.obs_key)) continue;
        bias::Station st = bias::station_series(r, sd, sd[r.obs_key]);
        const bool dumps = r.dumps();
        py::str site = dumps ? dump_names.claim(sid, site_name) : py::str();
        if (dumps) {
            write_csv(two_columns(r, st.times, r.obs_key, st.series(r).attr("values")),
                      fmt("output/debug_obs_{}.csv", site));
        }
        ++valid_station_count;
        for (const py::object& key : r.exp_keys) {
            if (!bias::takes_part(sd, key)) continue;
            bias::Bias b = bias::station_bias(r, st, sd[key], bias::Sign::ModelMinusObs);
            if (dumps) {
                write_csv(two_columns(r, st.times, key, b.mod_values),
                          fmt("output/debug_mod_{}_{}.csv", key, site));
                write_csv(
                    two_columns(r, b.bias.attr("index"), py::str("bias"), b.bias.attr("values")),
                    fmt("output/debug_bias_{}_{}.csv", key, site));
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

    // Per experiment key, by its place in exp_keys (the keys are distinct); a
    // null mean for a key without counting series.
    std::vector<RegionalSeries> regional(r.exp_keys.size());
    bool any_regional = false;
    bool keep_tables = false;
    for (size_t k = 0; k < r.exp_keys.size(); ++k) {
        py::list series = bias_series[r.exp_keys[k]];
        if (py::len(series) == 0) continue;
        // The tables are kept for the dumps; asked once, when there is a series.
        if (!any_regional) keep_tables = r.dumps();
        regional[k] = bias::regional_series(r, series, {.spread = true}, keep_tables);
        any_regional = true;
    }
    if (!any_regional) {
        log_warning(c, py::str("No stations had valid data for bias plotting. Skipping."));
        end_banner(c, r.debug_flag, kName);
        return py::none();
    }

    {
        py::tuple fig_ax = bias::new_figure(r, 10);
        FigureGuard guard(r.plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        py::object time_index = py::none();
        for (size_t k = 0; k < r.exp_keys.size(); ++k) {
            const RegionalSeries& reg = regional[k];
            if (!reg.mean) continue;
            const py::object& key = r.exp_keys[k];
            py::object series = reg.mean.attr("sort_index")();
            py::object band = repaired_band(reg.band, series);
            if (truthy(band.attr("isna")().attr("all")())) {
                log_warning(
                    c, fmt("RMSE band for {} is all NaN — skipping shading.", exp_label(r, key)));
                continue;
            }
            if (r.debug) {
                print_out(c, fmt("[{}] Bias mean shape: {}", key, reg.mean.attr("shape")));
                print_out(c, fmt("[{}] RMSE shape: {}", key, reg.band.attr("shape")));
                print_out(c, fmt("[{}] RMSE band NaNs: {} / {}", key,
                                 band.attr("isna")().attr("sum")(), py::len(band)));
                print_out(c, fmt("[{}] RMSE band min/max: {} / {}", key, band.attr("min")(),
                                 band.attr("max")()));
            }
            if (r.dumps()) {
                write_csv(reg.mean, fmt("output/debug_bias_mean_{}.csv", key));
                write_csv(reg.table, fmt("output/debug_bias_matrix_{}.csv", key));
            }
            time_index = series.attr("index");
            py::object values = series.attr("values");
            py::object width = band.attr("values");
            draw_with_band(r, ax, key, time_index, values, values - width, values + width);
        }
        finish_figure(
            r, fig_ax[0], ax,
            fmt("{}: {} Bias [model - obs] — {}", r.region_label, r.variable, r.date_range), 0.7,
            time_index, py::str("_regional_bias"));
        guard.close();
    }

    if (!truthy(show_stations)) {
        finish_run(r, valid_station_count);
        return py::none();
    }

    // Station figures: one per station that has at least one counting series.
    valid_station_count = 0;
    StationFileNames figure_names(c, "figures", "regional");
    for (size_t i = 0; i < stations.data.size(); ++i) {
        const py::object& sd = stations.data[i];
        py::object sid = stations.ids[i];
        if (!bias::takes_part(sd, r.obs_key)) continue;
        py::object site_name = get(sd, "site_name", sid);
        bias::Station st = bias::station_series(r, sd, sd[r.obs_key]);
        py::tuple fig_ax = bias::new_figure(r, 10);
        FigureGuard guard(r.plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        py::object time_index = py::none();
        for (const py::object& key : r.exp_keys) {
            if (!bias::takes_part(sd, key)) continue;
            bias::Bias b = bias::station_bias(r, st, sd[key], bias::Sign::ModelMinusObs);
            if (!counts(b)) {
                if (r.debug) {
                    log_debug(c, fmt("[{}] Skipping bias for {}: not enough overlap.", sid, key));
                }
                continue;
            }
            py::object values = b.bias.attr("values");
            py::object width = bias::population_spread(r, b.bias);
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
                      0.9, time_index, fmt("_{}_bias", figure_names.claim(sid, site_name)));
        guard.close();
    }
    finish_run(r, valid_station_count);
    return py::none();
}

}  // namespace

FunctionSpec spec_plot_station_timeseries_bias3() {
    return figure_spec(
        kName, plot_station_timeseries_bias3,
        "Bias of every experiment, model minus observation: the regional mean over\n"
        "the stations with a band of the spread between them (labelled ±RMSE), then,\n"
        "with show_stations, one figure per station. The collocated road calls it.\n"
        "\n"
        "config keys: plot_region (\"Region\"), start_date and end_date (title text\n"
        "only), show_stations (off when absent), experiments and exp_labels (labels\n"
        "only), debug_extended (CSV dumps into output/, which must exist),\n"
        "force_full_year; obs_dataset_type is read and changes nothing.\n"
        "\n"
        "Writes <plot_file_base>_regional_bias.<fmt> and\n"
        "<plot_file_base>_<site_name>_bias.<fmt> (300 dpi, tight). Returns None; with\n"
        "nothing to draw it warns \"No stations had valid data for bias plotting.\n"
        "Skipping.\"");
}

}  // namespace kvelo::chronoplex
