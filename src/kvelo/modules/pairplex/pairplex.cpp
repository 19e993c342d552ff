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

// The end of the one-to-one line: the larger maximum, so no marker lies
// beyond it; the observation maximum unless the model maximum is greater, so
// a NaN model maximum never wins.
py::object line_end(const py::object& obs, const py::object& mod) {
    py::object obs_max = obs.attr("max")();
    py::object mod_max = mod.attr("max")();
    return holds(mod_max, obs_max, Py_GT) ? mod_max : obs_max;
}

void draw_scatter(const Call& c, const SavedTable& saved) {
    py::object plt = c.g("plt");
    const py::object& var = c.arg("var");
    py::object obs = saved.table[fmt("{}_obs", var)];
    py::object mod = saved.table[fmt("{}_mod", var)];
    plt.attr("scatter")(obs, mod, "edgecolors"_a = "black", "alpha"_a = 0.7);
    py::list ends;
    ends.append(0);
    ends.append(line_end(obs, mod));
    plt.attr("plot")(ends, ends.attr("copy")(), "k--");
    plt.attr("xlabel")("Observation");
    plt.attr("ylabel")("Model");
    plt.attr("grid")(true);
}

const char* const kSummary =
    "Scatter plot drawn again from a saved table (.csv or .nc) with the columns\n"
    "<var>_obs and <var>_mod: one marker per row, a dashed 1:1 line from 0 to\n"
    "the larger of both maxima. Writes\n"
    "<output_base>_region_<var>_time_avg_SCATTER_exp.<fmt> per format word (the\n"
    "words region, time_avg and exp are fixed), logging \"Saved scatter plot:\n"
    "<path>\". Another ending prints \"[ERROR] Could not load scatter file:\n"
    "<path>\" and returns; a missing file raises. Returns None.";

// The entry point: name, file parameter, kind, tag, title, figure size, help.
const ReplotForm kForm = {"plot_scatter_from_file",
                          "scatter_file",
                          "scatter",
                          "SCATTER",
                          "Scatter Plot {}",
                          8,
                          8,
                          kSummary};

}  // namespace

KVELO_MODULE(pairplex, m) { load_replot_module(m, kForm, draw_scatter); }
