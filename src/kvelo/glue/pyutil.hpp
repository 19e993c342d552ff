// Shared Python-facing helpers: module imports and bound names, logging and
// printing through the interpreter, Python text forms, banners, and the
// figure guard.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "kvelo/glue/function.hpp"
#include "kvelo/glue/values.hpp"

namespace kvelo::glue {

namespace py = pybind11;

// ---- module load -----------------------------------------------------------

// `import <module> as <alias>`: binds the imported module itself under `alias`.
py::object import_as(py::module_& m, const char* module, const char* alias);
// `from <module> import <name> [as alias]`: ImportError when the name is missing.
py::object import_from(py::module_& m, const char* module, const char* name,
                       const char* alias = nullptr);
// The libraries every data module imports first, in this order: os, re, csv,
// sys, glob, time, cftime, logging, numpy as np, pandas as pd, xarray as xr.
void import_base_libraries(py::module_& m);
// The drawing libraries the figure modules import next, in this order:
// seaborn as sns, cartopy.crs as ccrs, cartopy.feature as cfeature,
// matplotlib.colors as mcolors and again as colors, matplotlib.ticker as
// ticker, matplotlib.dates as mdates, matplotlib.pyplot as plt.
void import_plot_libraries(py::module_& m);
// Several `from <module> import a, b, c` in one line.
void import_names(py::module_& m, const char* module, std::initializer_list<const char*> names);

// ---- text forms ------------------------------------------------------------

// Python's str.format on a template: "{}" is str(value), "{:.1f}" format().
template <typename... Args>
py::str fmt(const char* tmpl, Args&&... args) {
    return py::str(tmpl).format(std::forward<Args>(args)...);
}

// ---- logging and printing --------------------------------------------------

// logging.<level>(msg) through the module's `logging` global, looked up now.
void log_debug(const Call& c, py::handle msg);
void log_info(const Call& c, py::handle msg);
void log_warning(const Call& c, py::handle msg);
void log_error(const Call& c, py::handle msg);
// builtins.print(msg): reaches whatever sys.stdout is at this moment.
void print(py::handle msg);

// "Start: " + 24 '*' + " name " + 24 '*'
std::string start_banner_text(const std::string& name);
// End banner: wide form "End:   ..." (three blanks) or narrow "End: ..." (one blank).
enum class EndForm { Wide, Narrow };
std::string end_banner_text(const std::string& name, EndForm form = EndForm::Wide);
// Logged at debug level, only when `debug` is truthy.
void start_banner(const Call& c, py::handle debug, const std::string& name);
void end_banner(const Call& c, py::handle debug, const std::string& name,
                EndForm form = EndForm::Wide);

// ---- small value helpers ---------------------------------------------------

// Python truth test; an error raised by __bool__ propagates.
bool truthy(py::handle v);
// The values of a plain list whose items are all floats (numpy's float64 is one),
// read without building an array and without calling back into Python;
// false for any other item or object, which the table library then converts.
bool float_list_values(py::handle list, std::vector<double>& out);
// mapping.get(key) / mapping.get(key, default), as Python would call it.
py::object get(py::handle mapping, const char* key);
py::object get(py::handle mapping, const char* key, py::handle default_value);

// ---- tables ----------------------------------------------------------------

// A NetCDF file opened with xarray's defaults, as a table: one row per element
// of its dimensions, dimension coordinates as ordinary columns.  The file is
// closed once the table holds its values.  With `units`, each variable that
// carries a "units" attribute gets an entry name -> that attribute.
py::object read_netcdf_table(const Call& c, py::handle path, py::dict* units = nullptr);

// ---- figures ---------------------------------------------------------------

// One file per format word, in order: save("<stem>.<word>", **options), then
// the info line "<announce><stem>.<word>".  An error stops the loop; files of
// earlier words stay.
void save_each_format(const Call& c, py::handle save, py::handle stem, py::handle formats,
                      const char* announce, const py::dict& options = py::dict());
// The same at 300 dpi with a tight bounding box, announced as "Saved: {path}":
// the save of the station, bias, chart and location figures.
void save_each_format_300_tight(const Call& c, py::handle save, py::handle stem,
                                py::handle formats);

// Closes a figure when the scope ends, also when an exception propagates.
// Swallows nothing of the error in flight and throws nothing itself.
class FigureGuard {
  public:
    FigureGuard(py::object plt, py::object fig) : plt_(std::move(plt)), fig_(std::move(fig)) {}
    FigureGuard(const FigureGuard&) = delete;
    FigureGuard& operator=(const FigureGuard&) = delete;
    ~FigureGuard();
    // Closes now (as a normal return would); the guard then does nothing more.
    void close();
    const py::object& figure() const { return fig_; }

  private:
    py::object plt_;
    py::object fig_;
};

}  // namespace kvelo::glue
