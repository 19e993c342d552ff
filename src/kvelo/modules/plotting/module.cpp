#include "kvelo/binding/module.hpp"

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/modules/plotting/plotting.hpp"
#include "kvelo/shared/libraries.hpp"

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace kvelo::plotting;

namespace {

// What the module binds after the libraries: `from <module> import <names>`,
// in this order.
const std::pair<const char*, std::vector<const char*>> kFromImports[] = {
    {"datetime", {"datetime"}},
    {"mpl_toolkits.axes_grid1", {"make_axes_locatable"}},
    {"kvelo.py.matched", {"load_matched_data"}},
    {"kvelo.py.io", {"read_data", "save_data"}},
    {"kvelo.py.style", {"get_readable_region_name", "get_variable_mapping"}},
};

}  // namespace

// No backend is chosen here: figures use whatever the process has.
KVELO_MODULE(plotting, m) {
    import_base_libraries(m);
    import_plot_libraries(m);
    for (const auto& [module, names] : kFromImports) {
        for (const char* name : names) import_from(m, module, name);
    }

    def(m, spec_process_time_series());
    def(m, spec_process_bias_plot());
    def(m, spec_process_scatter_plot());
    def(m, spec_process_model_map_plot());
}
