// Sibling module utils: time axes, line styles, log units, label selection,
// dates in file names and dataset summaries.
#pragma once

#include <pybind11/pybind11.h>

namespace kvelo::utils {
namespace py = pybind11;
void add_axes(py::module_& m);    // apply_time_axis_format, get_line_style, is_log_unit, extract_keys
void add_files(py::module_& m);   // extract_date_from_filename, summarize_observation_dataset
void add_labels(py::module_& m);  // select_label_stations_by_density
}  // namespace kvelo::utils
