#include "kvelo/shared/libraries.hpp"

#include "kvelo/binding/module.hpp"

namespace kvelo::shared {

using binding::import_as;

void import_base_libraries(py::module_& m) {
    for (const char* name : {"os", "re", "csv", "sys", "glob", "time", "cftime", "logging"}) {
        import_as(m, name, name);
    }
    import_as(m, "numpy", "np");
    import_as(m, "pandas", "pd");
    import_as(m, "xarray", "xr");
}

void import_plot_libraries(py::module_& m) {
    import_as(m, "seaborn", "sns");
    import_as(m, "cartopy.crs", "ccrs");
    import_as(m, "cartopy.feature", "cfeature");
    import_as(m, "matplotlib.colors", "mcolors");
    import_as(m, "matplotlib.colors", "colors");
    import_as(m, "matplotlib.ticker", "ticker");
    import_as(m, "matplotlib.dates", "mdates");
    import_as(m, "matplotlib.pyplot", "plt");
}

}  // namespace kvelo::shared
