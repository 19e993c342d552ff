// Station bias with RMSE bands: per station, the observation-minus-model bias
// of every experiment with a band of its root-mean-square error over the
// common times; no regional figure.  Station files are named by identifier.
#include <utility>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
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

const char* const kName = "plot_station_bias_collocation";

// (bias, band) of one experiment at one station, both float64 on the times
// where observation and model are both present, or a null bias when fewer than
// 2 such times exist.  The band holds the RMSE of the bias at every time.
std::pair<py::object, py::object> compute_bias_and_rmse(const bias::Run& r, bias::Station& st,
                                                        py::handle values) {
    bias::Bias b = bias::station_bias(r, st, values, bias::Sign::ObsMinusModel);
    if (b.n_valid < 2) return {py::object(), py::object()};
    py::object rmse = r.np.attr("sqrt")(r.np.attr("mean")(power(b.bias, py::int_(2))));
    py::object band = r.pd.attr("Series")(rmse, "index"_a = b.bias.attr("index"));
    return {b.bias.attr("astype")("float64"), band.attr("astype")("float64")};
}

py::object plot_station_bias_collocation(const Call& c) {
    bias::Run r(c);
    const py::object& config = r.config;
    start_banner(c, r.debug_flag, kName);

    py::object start_date = get(config, "start_date");
    py::object end_date = get(config, "end_date");
    py::object force_full_year = get(config, "force_full_year", py::none());
    py::str date_range = fmt("[{} to {}] ({})", start_date, end_date, r.tavg);

    const bias::Stations stations = bias::sorted_stations(r);
    const std::vector<py::object> exp_keys = bias::experiment_keys(r, stations.data);
    if (exp_keys.empty()) {
        log_warning(c, py::str("No experiments found to compute bias."));
        return py::none();
    }

    StationFileNames file_names(c, "figures");
    for (size_t i = 0; i < stations.data.size(); ++i) {
        const py::object& sd = stations.data[i];
        py::object sid = stations.ids[i];
        bias::Station st = bias::station_series(r, sd, get(sd, r.obs_key, py::list()), true);
        py::tuple fig_ax = bias::new_figure(r, 12);
        FigureGuard guard(r.plt, fig_ax[0]);
        py::object ax = fig_ax[1];
        py::object times;
        for (const py::object& key : exp_keys) {
            auto [bias, band] = compute_bias_and_rmse(r, st, get(sd, key, py::list()));
            if (!bias) continue;
            py::object index = bias.attr("index");
            py::object label = fmt("{} bias", key.attr("replace")(r.prefix, ""));
            ax.attr("plot")(index, bias, "label"_a = label, "linewidth"_a = 1.5);
            ax.attr("fill_between")(index, bias - band, bias + band, "alpha"_a = 0.2);
            times = index;
        }
        if (!times) {
            guard.close();
            continue;
        }
        ax.attr("axhline")(0, "color"_a = "gray", "linestyle"_a = ":", "linewidth"_a = 1);
        py::object site_name = get(sd, "site_name", sid);
        ax.attr("set_title")(
            fmt("{} ({}): {} Bias [obs - model] — {}", site_name, sid, r.variable, date_range),
            "fontsize"_a = 12);
        ax.attr("set_ylabel")(fmt("{} Bias [{}]", r.variable, r.unit));
        ax.attr("set_xlabel")("Time");
        c.g("apply_time_axis_format")(ax, times, force_full_year);
        ax.attr("grid")(true, "linestyle"_a = "--", "alpha"_a = 0.5);
        ax.attr("set_axisbelow")(true);
        ax.attr("legend")("loc"_a = "upper right", "frameon"_a = false);
        bias::save_figure(r, fig_ax[0], fmt("_{}_bias", file_names.claim(sid, sid)));
        guard.close();
    }
    end_banner(c, r.debug_flag, kName, EndForm::Narrow);
    return py::bool_(true);
}

}  // namespace

FunctionSpec spec_plot_station_bias_collocation() {
    return figure_spec(
        kName, plot_station_bias_collocation,
        "Per-station bias of every experiment, observation minus model, each with a\n"
        "band of its RMSE over the times both are present; no regional figure.\n"
        "\n"
        "config keys: start_date and end_date (title text only), force_full_year.\n"
        "\n"
        "Writes <plot_file_base>_<site_id>_bias.<fmt> per station (300 dpi, tight).\n"
        "Returns True, or None when no experiment key is found.");
}

}  // namespace kvelo::chronoplex
