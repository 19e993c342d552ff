// Module plotting: matched observation-model files turned into processed model
// tables, bias maps and scatter plots, and maps of an in-memory model field.
// Each entry point hands its function table to the module load (module.cpp),
// which creates them in a fixed order.
#pragma once

#include <functional>

#include "kvelo/binding/function.hpp"

namespace kvelo::plotting {

namespace py = pybind11;
using binding::Call;
using binding::FunctionSpec;

FunctionSpec spec_process_time_series();
FunctionSpec spec_process_bias_plot();
FunctionSpec spec_process_scatter_plot();
FunctionSpec spec_process_model_map_plot();

// The walk that the matched-file functions share, over the call's arguments
// matched_obs_file, matched_model_files, region, var and debug.  Loads the
// observation file; when it gives nothing, logs the warning
// "{warning} {var} {region}" and returns false.  Otherwise loads every
// experiment's model file in the mapping's own order, skips those that give
// nothing, and hands (exp, observation table, model table) to `visit`.
using TablesFn = std::function<void(py::handle exp, py::handle obs, py::object mod)>;
bool for_each_model_table(const Call& c, const char* warning, const TablesFn& visit);

// The merged table: inner join on station_id and time, suffixes "_obs"/"_mod".
py::object merge_matched(const Call& c, py::handle obs, py::handle mod);

// `<output_base>_<region>_<var>_<time_avg>_<kind>_<exp>` from the call's arguments.
py::str matched_figure_stem(const Call& c, const char* kind, py::handle exp);

}  // namespace kvelo::plotting
