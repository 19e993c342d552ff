// The libraries a module body imports, in the order the modules import them.
#pragma once

#include <pybind11/pybind11.h>

namespace kvelo::shared {

namespace py = pybind11;

// The libraries every data module imports first, in this order: os, re, csv,
// sys, glob, time, cftime, logging, numpy as np, pandas as pd, xarray as xr.
void import_base_libraries(py::module_& m);
// The drawing libraries the figure modules import next, in this order:
// seaborn as sns, cartopy.crs as ccrs, cartopy.feature as cfeature,
// matplotlib.colors as mcolors and again as colors, matplotlib.ticker as
// ticker, matplotlib.dates as mdates, matplotlib.pyplot as plt.
void import_plot_libraries(py::module_& m);

}  // namespace kvelo::shared
