#include "kvelo/glue/pyutil.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::glue;

FunctionSpec spec_extend_process_time_series_with_stats() {
    return {.name = "extend_process_time_series_with_stats",
            .params = {"data_file_base",
                       "variable",
                       "tavg",
                       "debug",
                       "use_collocation",
                       "save_plot_formats",
                       "data"},
            .impl = not_available("extend_process_time_series_with_stats"),
            .doc = "extend_process_time_series_with_stats(data_file_base, variable, tavg, debug, use_collocation, save_plot_formats, data)"};
}

FunctionSpec spec_extend_process_time_series_with_stats2() {
    return {.name = "extend_process_time_series_with_stats2",
            .params = {"data_file_base",
                       "variable",
                       "tavg",
                       "debug",
                       "use_collocation",
                       "data"},
            .impl = not_available("extend_process_time_series_with_stats2"),
            .doc = "extend_process_time_series_with_stats2(data_file_base, variable, tavg, debug, use_collocation, data)"};
}

}  // namespace kvelo::chronoplex
