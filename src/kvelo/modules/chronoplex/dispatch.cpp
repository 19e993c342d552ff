// Run dispatch: hands the station-wise dictionary to the figure functions and,
// in a collocated run, to the statistics step.  Callees are looked up on
// the module when the run reaches them, and nothing they raise is caught.
#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::binding;
using namespace kvelo::shared;

void dispatch_run(const Call& c, py::object data, py::object unit) {
    const auto [plot_file_base, save_plot_formats, variable, debug, use_collocation] =
        c.args("plot_file_base", "save_plot_formats", "variable", "debug", "use_collocation");

    log_info(c, fmt("Generating grouped/subplot time series for variable: {}", variable));
    // One shallow copy serves every callee; the caller's mapping stays as it was.
    py::object config = c.arg("config").attr("copy")();

    py::dict figure_args;
    figure_args["config"] = config;
    figure_args["data"] = data;
    figure_args["data_file_base"] = plot_file_base;
    figure_args["data_format"] = c.arg("data_format");
    figure_args["model_files_dict"] = "";
    figure_args["plot_file_base"] = plot_file_base;
    figure_args["save_plot_formats"] = save_plot_formats;
    figure_args["plot_title"] = c.arg("plot_title");
    figure_args["variable"] = variable;
    figure_args["unit"] = unit;

    if (truthy(use_collocation)) {
        figure_args["tavg"] = c.arg("tavg");
        figure_args["debug"] = debug;
        c.g("plot_station_timeseries_collocation")(**figure_args);
        c.g("plot_station_timeseries_bias3")(**figure_args);

        py::dict stats_args;
        stats_args["data_file_base"] = c.arg("data_file_base");
        stats_args["variable"] = variable;
        stats_args["tavg"] = c.arg("tavg");
        stats_args["debug"] = debug;
        stats_args["use_collocation"] = use_collocation;
        stats_args["save_plot_formats"] = save_plot_formats;
        stats_args["data"] = data;
        c.g("extend_process_time_series_with_stats")(**stats_args);
    } else {
        figure_args["debug"] = debug;
        c.g("plot_station_timeseries_grouped_or_subplots")(**figure_args);
    }
    end_banner(c, debug, "process_time_series_plot_from_file", EndForm::Wide);
}

}  // namespace kvelo::chronoplex
