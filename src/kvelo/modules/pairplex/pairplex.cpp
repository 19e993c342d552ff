// The observation-versus-model scatter plot drawn again from a saved scatter
// table, with a dashed one-to-one line from the origin.
#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/module.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/replot.hpp"

namespace py = pybind11;
using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

void draw_scatter(const Call& c, const SavedTable& saved) {
    py::object plt = c.g("plt"), var = c[1];
    py::object obs = saved.table[fmt("{}_obs", var)];
    py::object mod = saved.table[fmt("{}_mod", var)];
    plt.attr("scatter")(obs, mod, "edgecolors"_a = "black", "alpha"_a = 0.7);
    // The line reaches the larger maximum, so no marker lies beyond its end;
    // a NaN model maximum never wins the comparison.
    py::object obs_max = obs.attr("max")();
    py::object mod_max = mod.attr("max")();
    py::object end = holds(mod_max, obs_max, Py_GT) ? mod_max : obs_max;
    py::list ends;
    ends.append(0);
    ends.append(end);
    plt.attr("plot")(ends, ends.attr("copy")(), "k--");
    plt.attr("xlabel")("Observation");
    plt.attr("ylabel")("Model");
    plt.attr("grid")(true);
    plt.attr("title")(fmt("Scatter Plot {}", var));
}

py::object plot_scatter_from_file(const Call& c) {
    return run_replot(c, {"plot_scatter_from_file", "scatter", "SCATTER", 8, 8}, draw_scatter);
}

}  // namespace

const char* const kSummary =
    "Scatter plot drawn again from a saved table (.csv or .nc) with the columns\n"
    "<var>_obs and <var>_mod: one marker per row, a dashed 1:1 line from 0 to\n"
    "the larger of both maxima. Writes\n"
    "<output_base>_region_<var>_time_avg_SCATTER_exp.<fmt> per format word (the\n"
    "words region, time_avg and exp are fixed), logging \"Saved scatter plot:\n"
    "<path>\". Another ending prints \"[ERROR] Could not load scatter file:\n"
    "<path>\" and returns; a missing file raises. Returns None.";

KVELO_MODULE(pairplex, m) {
    load_replot_module(m, "plot_scatter_from_file", "scatter_file", kSummary,
                       plot_scatter_from_file);
}
