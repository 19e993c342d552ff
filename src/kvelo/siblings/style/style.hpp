// Sibling module style: region names, variable mappings, map set-up, markers
// and colour norms.  Each group of functions registers itself on the module.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

namespace kvelo::style {
namespace py = pybind11;

// The key of a table entry: the UTF-8 bytes of str(value) folded with the str
// method `fold` ("upper", "lower"), as Python folds it; nullopt for a text
// that is no valid UTF-8 (a lone surrogate), which names no entry.
std::optional<std::string> folded_key(py::handle value, const char* fold);

void add_regions(py::module_& m);   // get_readable_region_name
void add_mappings(py::module_& m);  // get_variable_mapping
void add_maps(py::module_& m);      // setup_cartopy_map1, setup_cartopy_map, get_marker_style,
                                    // calculate_color_norm, get_variable_colorbar_limits,
                                    // load_variable_columns, convert_units
}  // namespace kvelo::style
