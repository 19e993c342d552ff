// Module chronoplex: station time series and station bias time series.
// Each entry point lives in its own source file and hands its function table
// to the module load (module.cpp), which creates them in a fixed order.
#pragma once

#include "kvelo/binding/function.hpp"

namespace kvelo::chronoplex {

namespace py = pybind11;
using binding::FunctionSpec;

FunctionSpec spec_extend_process_time_series_with_stats();
FunctionSpec spec_extend_process_time_series_with_stats2();
FunctionSpec spec_process_time_series_plot_from_file();
FunctionSpec spec_plot_station_timeseries_grouped_or_subplots();
FunctionSpec spec_plot_station_timeseries_collocation();
FunctionSpec spec_plot_station_bias_collocation();
FunctionSpec spec_plot_station_timeseries_bias1();
FunctionSpec spec_plot_station_timeseries_bias2();
FunctionSpec spec_plot_station_timeseries_bias3();

// The table of a figure function: (config, data, data_file_base, data_format,
// model_files_dict, plot_file_base, save_plot_formats, plot_title, variable=None,
// unit=None[, tavg=None], debug=False), documented by its signature line and,
// below it, `summary`.
FunctionSpec figure_spec(const char* name, binding::Impl impl, const char* summary,
                         bool with_tavg = true);

// Second half of process_time_series_plot_from_file: hands the station-wise
// dictionary to the figure functions and the statistics step.  `c` is the
// entry's own call (its bound arguments), `data` the dictionary, `unit` the unit text.
void dispatch_run(const binding::Call& c, py::object data, py::object unit);

}  // namespace kvelo::chronoplex
