#include "kvelo/binding/module.hpp"

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/modules/geoplex/geoplex.hpp"
#include "kvelo/shared/libraries.hpp"

using namespace kvelo::binding;
using namespace kvelo::shared;

namespace {

// What the module binds after the libraries: `from <module> import <names>`,
// in this order.
const std::pair<const char*, std::vector<const char*>> kFromImports[] = {
    {"datetime", {"datetime"}},
    {"adjustText", {"adjust_text"}},
    {"mpl_toolkits.axes_grid1", {"make_axes_locatable"}},
    {"kvelo.py.io", {"read_data", "save_data"}},
    {"kvelo.py.utils", {"select_label_stations_by_density"}},
    {"kvelo.py.figdefaults", {"set_kvelo_plot_style"}},
    {"kvelo.py.style",
     {"get_readable_region_name", "get_variable_colorbar_limits", "get_variable_mapping",
      "load_variable_columns", "calculate_color_norm", "setup_cartopy_map", "setup_cartopy_map1",
      "get_marker_style", "convert_units"}},
};

}  // namespace

// No drawing backend is chosen here: the maps draw on whatever the process uses.
KVELO_MODULE(geoplex, m) {
    import_base_libraries(m);
    import_plot_libraries(m);
    for (const auto& [module, names] : kFromImports) {
        for (const char* name : names) import_from(m, module, name);
    }

    def(m, kvelo::geoplex::spec_station_location_map_plot_from_file());
    def(m, kvelo::geoplex::spec_station_value_map_plot_from_file());
}
