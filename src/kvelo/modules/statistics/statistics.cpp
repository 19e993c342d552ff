// Placeholder: the statistics functions are bound so that dependent modules load.
#include <pybind11/pybind11.h>

#include "kvelo/glue/pyutil.hpp"

namespace py = pybind11;
using namespace kvelo::glue;

PYBIND11_MODULE(statistics, m) {
    for (const char* name :
         {"compute_statistics_from_collocated_df", "compute_statistics_from_collocated_df_with_obs_entry",
          "compute_regional_statistics", "compute_regional_statistics_from_collocated_dict",
          "compute_pearson_r", "compute_pearson_r_with_shift", "compute_pearson_r_with_shift2",
          "compute_pearson_r2", "save_stats", "plot_statistics"}) {
        def(m, {.name = name, .params = {}, .impl = not_available(name)});
    }
}
