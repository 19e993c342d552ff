// Station value map: the observation and every experiment column as scatter
// layers on one map, one marker shape per column, one shared colour scale
// with its colour bar, and a marker legend.
#include <optional>
#include <string>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/geoplex/geoplex.hpp"
#include "kvelo/shared/figures.hpp"
#include "kvelo/shared/log.hpp"
#include "kvelo/shared/tables.hpp"

namespace kvelo::geoplex {

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

constexpr const char* kName = "station_value_map_plot_from_file";

// "obs" for the observation column, and for the bare variable column unless
// it stands for the experiment `exp`; otherwise the experiment name after
// "<variable>_".
py::object column_label(py::handle var, py::handle obs_col, py::handle variable, py::handle exp) {
    if (equals(var, obs_col)) return py::str("obs");
    if (equals(var, variable))
        return exp.is_none() ? py::str("obs") : py::reinterpret_borrow<py::object>(exp);
    py::ssize_t skip = static_cast<py::ssize_t>(py::len(variable)) + 1;
    return var[py::slice(skip, std::nullopt, std::nullopt)];
}

struct Layers {
    py::dict plotted;    // label -> (position, marker); a later column with the label wins
    py::object scatter;  // the layer drawn last, for the colour bar
    py::object unit = py::str("");
};

Layers draw_layers(const Call& c, py::object ax, py::object df, py::object units,
                   py::object var_cols, py::object obs_col) {
    const py::object& variable = c.arg("variable");
    py::object plt = c.g("plt");
    py::object cmap = plt.attr("colormaps")["turbo"].attr("with_extremes")(
        "under"_a = "grey", "bad"_a = "white", "over"_a = "darkred");
    py::object norm = py::none();
    py::object columns = df.attr("columns");
    Layers out;
    long i = -1;
    for (py::handle var : var_cols) {
        ++i;
        if (!contains(columns, var)) {
            log_warning(c, fmt("Column '{}' not found in data.", var));
            continue;
        }
        py::list subset;
        subset.append("lat");
        subset.append("lon");
        subset.append(var);
        py::object valid = df.attr("dropna")("subset"_a = subset);
        if (truthy(valid.attr("empty"))) {
            log_warning(c, fmt("No valid data in '{}' after dropping NaNs.", var));
            continue;
        }
        py::object lats = valid["lat"].attr("values");
        py::object lons = valid["lon"].attr("values");
        py::object var_values = valid[var].attr("values");
        out.unit = get(units, var, py::str(""));
        py::object label = column_label(var, obs_col, variable, c.arg("exp"));
        std::vector<py::object> style = unpack(c.g("get_marker_style")(label, i), 2);
        py::object marker = style[0], size = style[1];
        if (norm.is_none()) {
            norm = c.g("calculate_color_norm")(var_values, variable, out.unit,
                                               "debug"_a = c.arg("debug"));
        }
        out.scatter = ax.attr("scatter")(
            lons, lats, "c"_a = var_values, "cmap"_a = cmap, "norm"_a = norm, "s"_a = size,
            "marker"_a = marker, "edgecolors"_a = "black", "linewidths"_a = 0.8, "alpha"_a = 1.0);
        out.plotted[label] = py::make_tuple(i, marker);
    }
    return out;
}

// The experiment labels (all but "obs" and "base"), sorted.
py::list experiment_labels(const Call& c, const py::dict& plotted) {
    py::list rest;
    py::tuple fixed = py::make_tuple("obs", "base");
    for (auto [key, entry] : plotted) {
        if (!contains(fixed, key)) rest.append(key);
    }
    return c.g("sorted")(rest);
}

// The title made of the call's region, dates, averaging and names when no
// plot_title is given.
py::object built_title(const Call& c, const py::dict& plotted) {
    const auto [obs_type, variable, exp] = c.args("obs_type", "variable", "exp");
    py::object region_label = c.g("get_readable_region_name")(c.arg("region"));
    py::str date_range =
        fmt("[{} to {}] ({})", c.arg("start_date"), c.arg("end_date"), c.arg("time_avg"));
    py::list keys(plotted.attr("keys")());
    py::list only_obs;
    only_obs.append("obs");
    if (equals(keys, only_obs)) {
        return fmt("{}: Observation ({}) \u2014 {}", region_label, obs_type, date_range);
    }
    if (!contains(keys, py::str("obs")) && py::len(keys) == 1) {
        return fmt("{}: {} ({}) \u2014 {}", region_label, variable, exp.is_none() ? obs_type : exp,
                   date_range);
    }
    py::str exp_keys = py::str(", ").attr("join")(experiment_labels(c, plotted));
    return fmt("{}: {} [obs vs {}] \u2014 {}", region_label, variable, exp_keys, date_range);
}

// One marker proxy per label: "obs" first, the experiments sorted, "base" last.
py::list legend_handles(const Call& c, const py::dict& plotted, py::object color_map) {
    py::list order;
    if (contains(plotted, py::str("obs"))) order.append("obs");
    for (py::handle key : experiment_labels(c, plotted)) order.append(key);
    if (contains(plotted, py::str("base"))) order.append("base");
    py::object line2d = c.g("plt").attr("Line2D");
    py::list handles;
    for (py::handle label : order) {
        py::tuple entry = plotted[label];
        py::object shown = equals(label, py::str("obs"))
                               ? py::str("Obs")
                               : py::reinterpret_borrow<py::object>(label);
        py::list origin;
        origin.append(0);
        handles.append(line2d(origin, origin.attr("copy")(), "marker"_a = entry[1],
                              "linestyle"_a = "", "label"_a = shown,
                              "markerfacecolor"_a = color_map(entry[0]), "markeredgecolor"_a = "k",
                              "markersize"_a = 7));
    }
    return handles;
}

void add_colorbar(const Call& c, py::object ax, const Layers& layers, py::handle variable) {
    py::object plt = c.g("plt");
    py::object divider = c.g("make_axes_locatable")(ax);
    py::object cax = divider.attr("append_axes")("right", "size"_a = "3%", "pad"_a = 0.1,
                                                 "axes_class"_a = plt.attr("Axes"));
    py::object cbar =
        plt.attr("colorbar")(layers.scatter, "cax"_a = cax, "orientation"_a = "vertical",
                             "extend"_a = "both", "spacing"_a = "uniform");
    cbar.attr("set_label")(fmt("{} [{}]", variable, layers.unit), "fontsize"_a = 10);
    cbar.attr("ax").attr("tick_params")("labelsize"_a = 8);
    cbar.attr("outline").attr("set_linewidth")(0.5);
}

py::object station_value_map_plot_from_file(const Call& c) {
    const py::object& variable = c.arg("variable");
    const py::object& debug = c.arg("debug");
    start_banner(c, debug, kName);

    auto read = read_station_table(c, c.arg("data_file_base"), c.arg("data_format"), debug);
    if (!read) return py::none();
    auto [df_obs, units] = *read;
    if (truthy(df_obs.attr("empty"))) {
        log_warning(c, py::str("No data found in file."));
        return py::none();
    }
    if (!truthy(variable)) {
        log_error(c, py::str("No base variable provided."));
        return py::none();
    }
    std::vector<py::object> found = unpack(c.g("load_variable_columns")(df_obs, variable), 3);
    py::object var_cols = found[0], obs_col = found[1];
    if (!truthy(var_cols)) {
        log_warning(c, fmt("No matching variable columns found for base '{}'.", variable));
        return py::none();
    }

    std::vector<py::object> fig_ax =
        unpack(c.g("setup_cartopy_map1")("region_bounds"_a = c.arg("region_bounds")), 2);
    py::object plt = c.g("plt");
    // Also closed when an error propagates, so a failed map leaves no figure behind.
    FigureGuard guard(plt, fig_ax[0]);
    py::object ax = fig_ax[1];

    // Legend colours: "tab10" sampled evenly at one entry per candidate.
    py::object color_map = plt.attr("colormaps")["tab10"].attr("resampled")(py::len(var_cols));
    Layers layers = draw_layers(c, ax, df_obs, units, var_cols, obs_col);
    if (py::len(layers.plotted) == 0) {
        log_warning(c, py::str("No valid variables plotted. Skipping plot."));
        guard.close();
        return py::none();
    }

    const py::object& plot_title = c.arg("plot_title");
    py::object title = truthy(plot_title) ? plot_title : built_title(c, layers.plotted);
    py::list handles = legend_handles(c, layers.plotted, color_map);
    add_colorbar(c, ax, layers, variable);
    ax.attr("set_title")(title, "fontsize"_a = 12);
    ax.attr("legend")("handles"_a = handles, "loc"_a = "upper left", "fontsize"_a = 8);

    for (py::handle word : c.arg("save_plot_formats")) {
        py::str output_file = fmt("{}_val.{}", c.arg("plot_file_base"), word);
        // Other formats take the library's "savefig.dpi" setting.
        py::object dpi = equals(word.attr("lower")(), py::str("png")) ? py::object(py::int_(300))
                                                                      : py::object(py::none());
        plt.attr("savefig")(output_file, "dpi"_a = dpi, "bbox_inches"_a = "tight");
        log_info(c, fmt("Saved: {}", output_file));
    }
    guard.close();
    end_banner(c, debug, kName);
    return py::none();
}

}  // namespace

FunctionSpec spec_station_value_map_plot_from_file() {
    std::vector<Param> params = {"data_file_base",
                                 "data_format",
                                 "region",
                                 "obs_type",
                                 "time_avg",
                                 "region_bounds",
                                 "plot_file_base",
                                 "save_plot_formats",
                                 "plot_title",
                                 "start_date",
                                 "end_date",
                                 {"variable", py::none()},
                                 {"exp", py::none()},
                                 {"debug", py::bool_(false)}};
    std::string doc = signature_line(kName, params);
    return {.name = kName,
            .params = std::move(params),
            .impl = station_value_map_plot_from_file,
            .doc = doc};
}

}  // namespace kvelo::geoplex
