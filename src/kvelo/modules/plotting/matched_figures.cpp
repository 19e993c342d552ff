// Figures of matched files: per experiment, the bias map (model minus
// observation at the observed station positions) and the scatter plot of
// model against observation with its one-to-one line.
#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/plotting/plotting.hpp"
#include "kvelo/shared/figures.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::plotting {

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

// The scatter leaves out rows whose colour value is not finite (a NaN bias),
// but on a map axes their positions still pass through the projection and
// would show as bare black rings: such rows get a fully transparent edge.
void hide_rings_of_left_out_rows(const Call& c, const py::object& markers) {
    py::object np = c.g("np");
    py::object left_out = np.attr("ma").attr("getmaskarray")(markers.attr("get_array")());
    if (!truthy(left_out.attr("any")())) return;
    py::object edges = np.attr("zeros")(py::make_tuple(py::len(left_out), 4));
    // Black (0, 0, 0, 1) where a marker is drawn, alpha 0 where it is left out.
    edges[py::make_tuple(py::slice(std::nullopt, std::nullopt, std::nullopt), 3)] =
        np.attr("logical_not")(left_out);
    markers.attr("set_edgecolor")(edges);
}

// "<word> <exp> - <var> - <region> (<time_avg>)".
py::str matched_title(const Call& c, const char* word, py::handle exp) {
    return fmt("{} {} - {} - {} ({})", word, exp, c.arg("var"), c.arg("region"), c.arg("time_avg"));
}

// Tight layout, then one file per word of save_formats, each announced.
void save_matched_figure(const Call& c, const py::object& plt, const char* kind, py::handle exp,
                         const char* announce) {
    plt.attr("tight_layout")();
    save_each_format(c, plt.attr("savefig"), matched_figure_stem(c, kind, exp),
                     c.arg("save_formats"), announce);
}

void draw_bias_map(const Call& c, py::handle exp, py::object merged) {
    const py::object& var = c.arg("var");
    // Through the bound method, which holds the table as a caller's variable
    // would: the table library reads a bare reference as chained assignment.
    merged.attr("__setitem__")("bias", merged[fmt("{}_mod", var)] - merged[fmt("{}_obs", var)]);

    py::object plt = c.g("plt");
    FigureGuard guard(plt, plt.attr("figure")("figsize"_a = py::make_tuple(10, 6)));
    py::object ax = plt.attr("axes")("projection"_a = c.g("ccrs").attr("PlateCarree")());
    py::object sc = ax.attr("scatter")(
        merged[py::str("lon_obs")], merged[py::str("lat_obs")], "c"_a = merged[py::str("bias")],
        "cmap"_a = "RdBu_r", "vmin"_a = -50, "vmax"_a = 50, "s"_a = 50, "edgecolor"_a = "black");
    hide_rings_of_left_out_rows(c, sc);
    py::object cfeature = c.g("cfeature");
    ax.attr("add_feature")(cfeature.attr("COASTLINE"));
    ax.attr("add_feature")(cfeature.attr("BORDERS"), "linestyle"_a = ":");
    ax.attr("gridlines")("draw_labels"_a = true);
    plt.attr("colorbar")(sc, "label"_a = fmt("Bias ({})", var));
    ax.attr("set_title")(matched_title(c, "Bias", exp));
    save_matched_figure(c, plt, "BIAS", exp, "Saved bias plot: ");
    guard.close();
}

void draw_scatter(const Call& c, py::handle exp, py::object merged) {
    const py::object& var = c.arg("var");
    py::object obs = merged[fmt("{}_obs", var)];
    py::object mod = merged[fmt("{}_mod", var)];

    py::object plt = c.g("plt");
    FigureGuard guard(plt, plt.attr("figure")("figsize"_a = py::make_tuple(8, 8)));
    plt.attr("scatter")(obs, mod, "edgecolors"_a = "black", "alpha"_a = 0.7);
    // The line ends at the largest observation; the model values play no part.
    py::object m = obs.attr("max")();
    plt.attr("plot")(py::make_tuple(0, m), py::make_tuple(0, m), "k--");
    plt.attr("xlabel")("Observation");
    plt.attr("ylabel")("Model");
    plt.attr("grid")(true);
    plt.attr("title")(matched_title(c, "Scatter", exp));
    save_matched_figure(c, plt, "SCATTER", exp, "Saved scatter plot: ");
    guard.close();
}

// Both figure functions: the same walk and merged table, another figure.
Impl matched_figure(const char* name, void (*draw)(const Call&, py::handle, py::object)) {
    return [name, draw](const Call& c) -> py::object {
        const py::object& debug = c.arg("debug");
        start_banner(c, debug, name);
        bool loaded = for_each_model_table(c, "No matched observation data for",
                                           [&](py::handle exp, py::handle obs, py::object mod) {
                                               draw(c, exp, merge_matched(c, obs, mod));
                                           });
        if (loaded) end_banner(c, debug, name);
        return py::none();
    };
}

// What both functions' help ends with: the early returns and the result.
const char* const kMatchedFigureEnd =
    "An observation file that does not load logs \"No matched observation data\n"
    "for <var> <region>\" and draws nothing; a model file that does not load is\n"
    "skipped. Returns None.";

const char* const kBiasSummary =
    "Bias map per experiment from matched files: the observation and model\n"
    "tables joined on station_id and time, one marker per joined row at\n"
    "(lon_obs, lat_obs) coloured by <var>_mod - <var>_obs (RdBu_r, fixed\n"
    "-50..50). Writes <output_base>_<region>_<var>_<time_avg>_BIAS_<exp>.<fmt>\n"
    "per word of save_formats at matplotlib's savefig.dpi, logging\n"
    "\"Saved bias plot: <path>\".\n";

const char* const kScatterSummary =
    "Scatter plot per experiment from matched files: <var>_mod against\n"
    "<var>_obs for every row of the join on station_id and time, with a dashed\n"
    "1:1 line from 0 to the largest observation. Writes\n"
    "<output_base>_<region>_<var>_<time_avg>_SCATTER_<exp>.<fmt> per word of\n"
    "save_formats at matplotlib's savefig.dpi, logging\n"
    "\"Saved scatter plot: <path>\".\n";

FunctionSpec matched_figure_spec(const char* name, const char* summary,
                                 void (*draw)(const Call&, py::handle, py::object)) {
    std::vector<binding::Param> params = {
        "matched_obs_file", "matched_model_files", "region",       "var",
        "time_avg",         "output_base",         "save_formats", {"debug", py::bool_(false)}};
    std::string doc = signature_line(name, params) + "\n\n" + summary + kMatchedFigureEnd;
    return {
        .name = name, .params = std::move(params), .impl = matched_figure(name, draw), .doc = doc};
}

}  // namespace

FunctionSpec spec_process_bias_plot() {
    return matched_figure_spec("process_bias_plot", kBiasSummary, draw_bias_map);
}
FunctionSpec spec_process_scatter_plot() {
    return matched_figure_spec("process_scatter_plot", kScatterSummary, draw_scatter);
}

}  // namespace kvelo::plotting
