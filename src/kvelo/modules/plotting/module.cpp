#include "kvelo/binding/module.hpp"

#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"
#include "kvelo/modules/plotting/plotting.hpp"
#include "kvelo/shared/libraries.hpp"

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace kvelo::plotting;

// No backend is chosen here: figures use whatever the process has.
KVELO_MODULE(plotting, m) {
    import_base_libraries(m);
    import_plot_libraries(m);
    import_from(m, "datetime", "datetime");
    import_from(m, "mpl_toolkits.axes_grid1", "make_axes_locatable");
    import_from(m, "kvelo.py.matched", "load_matched_data");
    import_names(m, "kvelo.py.io", {"read_data", "save_data"});
    import_names(m, "kvelo.py.style", {"get_readable_region_name", "get_variable_mapping"});

    def(m, spec_process_time_series());
    def(m, spec_process_bias_plot());
    def(m, spec_process_scatter_plot());
    def(m, spec_process_model_map_plot());
}
