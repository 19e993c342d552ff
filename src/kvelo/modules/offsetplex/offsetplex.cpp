// The bias map drawn again from a saved bias table: one marker per row at the
// station's observed position, coloured by its bias on a diverging scale
// centred on zero.
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

void draw_bias_map(const Call& c, const SavedTable& saved) {
    py::object plt = c.g("plt");
    const py::object& var = c.arg("var");
    const py::object& df = saved.table;
    py::object ax = plt.attr("axes")("projection"_a = c.g("ccrs").attr("PlateCarree")());
    py::object norm =
        c.g("colors").attr("TwoSlopeNorm")("vmin"_a = -50, "vcenter"_a = 0, "vmax"_a = 50);
    py::object markers = ax.attr("scatter")(df["lon_obs"], df["lat_obs"], "c"_a = df["bias"],
                                            "cmap"_a = "RdBu_r", "norm"_a = norm);
    py::object cfeature = c.g("cfeature");
    ax.attr("add_feature")(cfeature.attr("COASTLINE"));
    ax.attr("add_feature")(cfeature.attr("BORDERS"), "linestyle"_a = ":");
    ax.attr("gridlines")("draw_labels"_a = true);
    // A CSV table has no units; a NetCDF one may carry them on its bias variable.
    py::object unit = get(saved.units, "bias", py::str(""));
    py::object cbar = plt.attr("colorbar")(markers, "orientation"_a = "vertical");
    cbar.attr("set_label")(fmt("{} Bias ({})", var, unit));
}

const char* const kSummary =
    "Bias map drawn again from a saved table (.csv or .nc) with the columns\n"
    "lon_obs, lat_obs and bias: one marker per row, RdBu_r centred on 0 from\n"
    "-50 to 50. Writes <output_base>_region_<var>_time_avg_BIAS_exp.<fmt> per\n"
    "format word (the words region, time_avg and exp are fixed), logging\n"
    "\"Saved bias plot: <path>\". Another ending prints \"[ERROR] Could not load\n"
    "bias file: <path>\" and returns; a missing file raises. Returns None.";

// The entry point: name, file parameter, kind, tag, title, figure size, help.
const ReplotForm kForm = {"plot_bias_from_file",
                          "bias_file",
                          "bias",
                          "BIAS",
                          "Bias exp - {} - region (time_avg)",
                          10,
                          6,
                          kSummary};

}  // namespace

KVELO_MODULE(offsetplex, m) { load_replot_module(m, kForm, draw_bias_map); }
