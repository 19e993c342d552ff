#include "kvelo/glue/pyutil.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::glue;

FunctionSpec spec_plot_station_timeseries_collocation() {
    return {.name = "plot_station_timeseries_collocation",
            .params = {"config",
                       "data",
                       "data_file_base",
                       "data_format",
                       "model_files_dict",
                       "plot_file_base",
                       "save_plot_formats",
                       "plot_title",
                       {"variable", py::none()},
                       {"unit", py::none()},
                       {"tavg", py::none()},
                       {"debug", py::bool_(false)}},
            .impl = not_available("plot_station_timeseries_collocation"),
            .doc = "plot_station_timeseries_collocation(config, data, data_file_base, data_format, model_files_dict, plot_file_base, save_plot_formats, plot_title, variable=None, unit=None, tavg=None, debug=False)"};
}

}  // namespace kvelo::chronoplex
