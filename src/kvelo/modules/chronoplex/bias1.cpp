// First bias variant: observation minus model, the regional mean over the
// stations with a band of constant width (the population standard deviation
// of the regional series), then one figure per station with its own constant
// band.  Station files are named by identifier.
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

const char* const kName = "plot_station_timeseries_bias1";

// Observation minus model with every NaN difference dropped, or None when
// fewer than 2 entries remain.
py::object station_bias(const bias::Run& r, bias::Station& st, py::handle values) {
    bias::Bias b = bias::station_bias(r, st, values, bias::Sign::ObsMinusModel);
    if (b.finite_count < 2) return py::none();
    return b.finite_count < b.n_valid ? b.bias.attr("dropna")() : b.bias;
}

// The series as a line with a band of `half_width` on either side.
void draw_with_band(const bias::Run& r, py::handle ax, py::handle key, py::handle series,
                    py::handle half_width) {
    py::object style = bias::line_style(r, key);
    py::object index = series.attr("index"), values = series.attr("values");
    plot_line(ax, index, values, py::dict("label"_a = key), style);
    bias::fill_band(ax, index, values - half_width, values + half_width, style,
                    fmt("{} ±RMSE", key));
}

py::object plot_station_timeseries_bias1(const Call& c) {
    bias::Run r(c);
    start_banner(c, r.debug_flag, kName);

    const bias::RegionSettings settings = bias::region_settings(r);
    const bias::Stations stations = bias::sorted_stations(r);
    const std::vector<py::object> exp_keys = bias::experiment_keys(r, stations.data);

    // Per experiment key, by its place in exp_keys (the keys are distinct): the
    // keys stay Python objects, whatever text they hold.
    std::vector<py::list> bias_series(exp_keys.size());
    for (const py::object& sd : stations.data) {
        if (!bias::takes_part(sd, r.obs_key)) continue;
        bias::Station st = bias::station_series(r, sd, sd[r.obs_key]);
        for (size_t k = 0; k < exp_keys.size(); ++k) {
            if (!bias::takes_part(sd, exp_keys[k])) continue;
            py::object b = station_bias(r, st, sd[exp_keys[k]]);
            if (!b.is_none()) bias_series[k].append(b);
        }
    }

    // Regional series and their half-widths, for the keys with any station
    // (a null mean for the others).
    struct Regional {
        py::object mean, half_width;
    };
    std::vector<Regional> regional(exp_keys.size());
    bool any_regional = false;
    for (size_t k = 0; k < exp_keys.size(); ++k) {
        if (py::len(bias_series[k]) == 0) continue;
        py::object mean = bias::regional_series(r, bias_series[k], {}).mean;
        regional[k] = {mean, bias::population_spread(r, mean)};
        any_regional = true;
    }
    if (!any_regional) {
        // Nothing to draw anywhere: the station figures apply the same rules.
        log_warning(c, py::str("No stations had valid data for bias plotting. Skipping."));
        end_banner(c, r.debug_flag, kName, EndForm::Narrow);
        return py::none();
    }

    {
        py::tuple fig_ax = bias::new_figure(r, 12);
        FigureGuard guard(r.plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        py::object time_index;
        for (size_t k = 0; k < exp_keys.size(); ++k) {
            if (!regional[k].mean) continue;
            py::object series = regional[k].mean.attr("sort_index")();
            draw_with_band(r, ax, exp_keys[k], series, regional[k].half_width);
            time_index = series.attr("index");
        }
        ax.attr("set_title")(fmt("{}: {} Bias [obs - model] — {}", settings.region_label,
                                 r.variable, settings.date_range),
                             "fontsize"_a = 12);
        ax.attr("axhline")(0, "color"_a = "black", "linewidth"_a = 1.0, "linestyle"_a = "--",
                           "alpha"_a = 0.7);
        ax.attr("set_xlabel")("Time");
        ax.attr("set_ylabel")(fmt("{} Bias [{}]", r.variable, r.unit));
        c.g("apply_time_axis_format")(ax, time_index, settings.force_full_year);
        draw_grids(ax, GridColour::Default);
        ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 9, "frameon"_a = false,
                          "ncol"_a = 2);
        bias::save_figure(r, fig_ax[0], py::str("_regional_bias"));
        guard.close();
    }

    StationFileNames file_names(c, "figures", "regional");
    for (size_t i = 0; i < stations.data.size(); ++i) {
        const py::object& sd = stations.data[i];
        py::object sid = stations.ids[i];
        if (!bias::takes_part(sd, r.obs_key)) continue;
        bias::Station st = bias::station_series(r, sd, sd[r.obs_key]);
        py::tuple fig_ax = bias::new_figure(r, 12);
        FigureGuard guard(r.plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        bool drawn = false;
        for (const py::object& key : exp_keys) {
            if (!bias::takes_part(sd, key)) continue;
            py::object b = station_bias(r, st, sd[key]);
            if (b.is_none()) continue;
            draw_with_band(r, ax, key, b, bias::population_spread(r, b));
            drawn = true;
        }
        if (!drawn) {
            guard.close();
            continue;
        }
        py::object site_name = get(sd, "site_name", sid);
        ax.attr("set_title")(fmt("{} ({}): {} Bias [obs - model] — {}", site_name, sid, r.variable,
                                 settings.date_range),
                             "fontsize"_a = 12);
        ax.attr("axhline")(0, "color"_a = "black", "linewidth"_a = 1.0, "linestyle"_a = "--");
        ax.attr("set_xlabel")("Time");
        ax.attr("set_ylabel")(fmt("{} Bias [{}]", r.variable, r.unit));
        c.g("apply_time_axis_format")(ax, st.times, settings.force_full_year);
        draw_grids(ax, GridColour::Default);
        ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 9, "frameon"_a = false);
        bias::save_figure(r, fig_ax[0], fmt("_{}_bias", file_names.claim(sid, sid)));
        guard.close();
    }
    end_banner(c, r.debug_flag, kName, EndForm::Narrow);
    return py::none();
}

}  // namespace

FunctionSpec spec_plot_station_timeseries_bias1() {
    return figure_spec(
        kName, plot_station_timeseries_bias1,
        "Bias of every experiment, observation minus model: the regional mean over\n"
        "the stations with a constant band (the standard deviation of that mean,\n"
        "labelled ±RMSE), then one figure per station with its own constant band.\n"
        "\n"
        "config keys: plot_region (\"Region\"), start_date and end_date (title text\n"
        "only), force_full_year.\n"
        "\n"
        "Writes <plot_file_base>_regional_bias.<fmt> and\n"
        "<plot_file_base>_<site_id>_bias.<fmt> (300 dpi, tight). Returns None.");
}

}  // namespace kvelo::chronoplex
