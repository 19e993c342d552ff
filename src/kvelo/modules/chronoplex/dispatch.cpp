// Run dispatch: hands the station-wise dictionary to the figure functions and,
// in a collocated run, to the statistics step.  Callees are looked up on
// the module when the run reaches them, and nothing they raise is caught.
#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/log.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::binding;
using namespace kvelo::shared;

void dispatch_run(const Call& c, py::object data, py::object unit) {
    py::object data_file_base = c[0], data_format = c[1], plot_file_base = c[3],
               save_plot_formats = c[4], plot_title = c[6], variable = c[7], tavg = c[8],
               debug = c[9], use_collocation = c[10];

    log_info(c, fmt("Generating grouped/subplot time series for variable: {}", variable));
    // One shallow copy serves every callee; the caller's mapping stays as it was.
    py::object config = c[5].attr("copy")();

    py::dict figure_args;
    figure_args["config"] = config;
    figure_args["data"] = data;
    figure_args["data_file_base"] = plot_file_base;
    figure_args["data_format"] = data_format;
    figure_args["model_files_dict"] = "";
    figure_args["plot_file_base"] = plot_file_base;
    figure_args["save_plot_formats"] = save_plot_formats;
    figure_args["plot_title"] = plot_title;
    figure_args["variable"] = variable;
    figure_args["unit"] = unit;

    if (truthy(use_collocation)) {
        figure_args["tavg"] = tavg;
        figure_args["debug"] = debug;
        c.g("plot_station_timeseries_collocation")(**figure_args);
        c.g("plot_station_timeseries_bias3")(**figure_args);

        py::dict stats_args;
        stats_args["data_file_base"] = data_file_base;
        stats_args["variable"] = variable;
        stats_args["tavg"] = tavg;
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
