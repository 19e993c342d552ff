#include "kvelo/binding/module.hpp"

#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"
#include "kvelo/shared/libraries.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"

namespace py = pybind11;
using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace kvelo::chronoplex;

KVELO_MODULE(chronoplex, m) {
    // The non-interactive backend is chosen before pyplot is imported.
    py::object mpl = import_as(m, "matplotlib", "matplotlib");
    mpl.attr("use")("Agg");

    import_base_libraries(m);
    import_plot_libraries(m);
    import_from(m, "mpl_toolkits.axes_grid1", "make_axes_locatable");
    import_from(m, "collections", "defaultdict");
    import_from(m, "datetime", "datetime");
    import_from(m, "math", "ceil");
    import_names(m, "kvelo.py.io", {"read_data", "save_data"});
    import_names(m, "kvelo.py.utils",
                 {"apply_time_axis_format", "extract_keys", "get_line_style", "is_log_unit"});
    import_names(m, "kvelo.py.statistics",
                 {"compute_statistics_from_collocated_df", "compute_regional_statistics",
                  "plot_statistics"});
    import_names(m, "kvelo.py.style", {"get_readable_region_name"});

    def(m, spec_extend_process_time_series_with_stats());
    def(m, spec_extend_process_time_series_with_stats2());
    def(m, spec_process_time_series_plot_from_file());
    def(m, spec_plot_station_timeseries_grouped_or_subplots());
    def(m, spec_plot_station_timeseries_collocation());
    def(m, spec_plot_station_bias_collocation());
    def(m, spec_plot_station_timeseries_bias1());
    def(m, spec_plot_station_timeseries_bias2());
    def(m, spec_plot_station_timeseries_bias3());
}
