#include "kvelo/binding/module.hpp"

#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"
#include "kvelo/modules/geoplex/geoplex.hpp"
#include "kvelo/shared/libraries.hpp"

using namespace kvelo::binding;
using namespace kvelo::shared;

// No drawing backend is chosen here: the maps draw on whatever the process uses.
KVELO_MODULE(geoplex, m) {
    import_base_libraries(m);
    import_plot_libraries(m);
    import_from(m, "datetime", "datetime");
    import_from(m, "adjustText", "adjust_text");
    import_from(m, "mpl_toolkits.axes_grid1", "make_axes_locatable");
    import_names(m, "kvelo.py.io", {"read_data", "save_data"});
    import_names(m, "kvelo.py.utils", {"select_label_stations_by_density"});
    import_names(m, "kvelo.py.figdefaults", {"set_kvelo_plot_style"});
    import_names(m, "kvelo.py.style",
                 {"get_readable_region_name", "get_variable_colorbar_limits",
                  "get_variable_mapping", "load_variable_columns", "calculate_color_norm",
                  "setup_cartopy_map", "setup_cartopy_map1", "get_marker_style", "convert_units"});

    def(m, kvelo::geoplex::spec_station_location_map_plot_from_file());
    def(m, kvelo::geoplex::spec_station_value_map_plot_from_file());
}
