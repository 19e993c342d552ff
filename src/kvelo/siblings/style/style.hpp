// Sibling module style: region names, variable mappings, map set-up, markers
// and colour norms.  Each group of functions registers itself on the module.
#pragma once

#include <pybind11/pybind11.h>

namespace kvelo::style {
namespace py = pybind11;
void add_regions(py::module_& m);   // get_readable_region_name
void add_mappings(py::module_& m);  // get_variable_mapping
void add_maps(py::module_& m);      // setup_cartopy_map1, setup_cartopy_map, get_marker_style,
                                    // calculate_color_norm, get_variable_colorbar_limits,
                                    // load_variable_columns, convert_units
}  // namespace kvelo::style
