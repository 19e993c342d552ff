#include "kvelo/glue/pyutil.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::glue;

FunctionSpec spec_plot_station_bias_collocation() {
    const char* name = "plot_station_bias_collocation";
    return figure_spec(name, not_available(name));
}

}  // namespace kvelo::chronoplex
