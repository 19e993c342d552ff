#include "kvelo/glue/pyutil.hpp"
#include "kvelo/siblings/style/style.hpp"

namespace kvelo::style {

void add_maps(py::module_& m) {
    glue::def(m, {.name = "setup_cartopy_map1", .params = {}, .impl = glue::not_available("setup_cartopy_map1")});
    glue::def(m, {.name = "setup_cartopy_map", .params = {}, .impl = glue::not_available("setup_cartopy_map")});
    glue::def(m, {.name = "get_marker_style", .params = {}, .impl = glue::not_available("get_marker_style")});
    glue::def(m, {.name = "calculate_color_norm", .params = {}, .impl = glue::not_available("calculate_color_norm")});
    glue::def(m, {.name = "get_variable_colorbar_limits", .params = {}, .impl = glue::not_available("get_variable_colorbar_limits")});
    glue::def(m, {.name = "load_variable_columns", .params = {}, .impl = glue::not_available("load_variable_columns")});
    glue::def(m, {.name = "convert_units", .params = {}, .impl = glue::not_available("convert_units")});
}

}  // namespace kvelo::style
