// Map of an in-memory model field over the region's extent, with the station
// positions on top when the driver passes them.
#include <pybind11/pybind11.h>

#include <vector>

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

const char* const kName = "process_model_map_plot";

// ds[name] when `name` is a coordinate of the dataset, else ds[fallback].
py::object coordinate(py::handle ds, const char* name, const char* fallback) {
    return ds[py::str(contains(ds.attr("coords"), py::str(name)) ? name : fallback)];
}

// Red markers at every station with both coordinates, and their legend.
void draw_stations(const py::object& plt, const py::object& ax, py::handle station_coords) {
    py::list lats, lons;
    for (py::handle st : station_coords) {
        py::object lat = st[py::str("lat")];
        if (lat.is_none()) continue;
        py::object lon = st[py::str("lon")];
        if (lon.is_none()) continue;
        lats.append(lat);
        lons.append(lon);
    }
    if (py::len(lats) == 0) return;
    ax.attr("scatter")(lons, lats, "color"_a = "red", "marker"_a = "o", "s"_a = 20,
                       "edgecolor"_a = "black", "label"_a = "Stations");
    plt.attr("legend")("loc"_a = "lower left");
}

py::object process_model_map_plot(const Call& c) {
    const auto [ds_model, region, variable, station_coords, exp_name, debug] =
        c.args("ds_model", "region", "variable", "station_coords", "exp_name", "debug");
    start_banner(c, debug, kName);
    if (ds_model.is_none()) {
        log_warning(c, fmt("No model data to plot for {}", exp_name));
        return py::none();
    }
    py::object readable_region = c.g("get_readable_region_name")(region);
    py::object mapping = c.g("get_variable_mapping")("data_type"_a = c.arg("data_type"),
                                                     "region"_a = region, "variable"_a = variable);
    py::object mapped_varname = mapping[py::str("mapped_name")];
    if (truthy(debug)) {
        log_debug(c, fmt("Mapping variable {} \u2794 {} for plotting", variable, mapped_varname));
    }
    std::vector<py::object> bounds = unpack(c.arg("region_bounds"), 4);
    const py::object &lat_min = bounds[0], &lat_max = bounds[1], &lon_min = bounds[2],
                     &lon_max = bounds[3];
    py::object lats = coordinate(ds_model, "lat", "latitude");
    py::object lons = coordinate(ds_model, "lon", "longitude");
    py::object var_model = ds_model[mapped_varname].attr("squeeze")();
    if (truthy(debug)) {
        log_debug(c, fmt("Plotting model map for experiment {}, variable {} over {}", exp_name,
                         mapped_varname, readable_region));
    }

    py::object plt = c.g("plt");
    py::object ccrs = c.g("ccrs");
    FigureGuard guard(plt, plt.attr("figure")("figsize"_a = py::make_tuple(10, 6)));
    py::object ax = plt.attr("axes")("projection"_a = ccrs.attr("PlateCarree")());
    py::list extent;
    for (const py::object& v : {lon_min, lon_max, lat_min, lat_max}) extent.append(v);
    ax.attr("set_extent")(extent, "crs"_a = ccrs.attr("PlateCarree")());
    py::object pcm =
        ax.attr("pcolormesh")(lons, lats, var_model, "cmap"_a = "viridis", "shading"_a = "auto");
    // The unit's text form; an absent attribute leaves the parentheses empty.
    py::str unit_text(get(var_model.attr("attrs"), "units", py::str("")));
    plt.attr("colorbar")(pcm, "ax"_a = ax, "orientation"_a = "vertical",
                         "label"_a = fmt("{} ({})", variable, unit_text));
    py::object cfeature = c.g("cfeature");
    ax.attr("add_feature")(cfeature.attr("COASTLINE"));
    ax.attr("add_feature")(cfeature.attr("BORDERS"), "linestyle"_a = ":");
    ax.attr("gridlines")("draw_labels"_a = true);
    if (truthy(station_coords)) draw_stations(plt, ax, station_coords);
    ax.attr("set_title")(
        fmt("{} - {} over {} ({})", exp_name, variable, readable_region, c.arg("time_avg")));
    plt.attr("tight_layout")();
    for (py::handle word : c.arg("save_formats")) {
        py::str output_file =
            fmt("{}_model_{}_{}_{}.{}", c.arg("output_base"), region, variable, exp_name, word);
        plt.attr("savefig")(output_file, "dpi"_a = 300, "bbox_inches"_a = "tight");
        if (truthy(debug)) log_debug(c, fmt("Saved model map plot: {}", output_file));
    }
    guard.close();
    end_banner(c, debug, kName);
    return py::none();
}

}  // namespace

FunctionSpec spec_process_model_map_plot() {
    return {.name = kName,
            .params = {"ds_model",
                       "region",
                       "variable",
                       "data_type",
                       "time_avg",
                       "output_base",
                       "save_formats",
                       "start_date",
                       "end_date",
                       "region_bounds",
                       {"station_coords", py::none()},
                       {"exp_name", py::str("EXP")},
                       {"debug", py::bool_(false)}},
            .impl = process_model_map_plot,
            .doc =
                "process_model_map_plot(ds_model, region, variable, data_type, time_avg, "
                "output_base, save_formats, start_date, end_date, region_bounds, "
                "station_coords=None, exp_name=\"EXP\", debug=False)\n"
                "\n"
                "Map of an in-memory model field: the field that\n"
                "get_variable_mapping(...)[\"mapped_name\"] names, 2-D once length-one\n"
                "dimensions are dropped, as a colour mesh over region_bounds (lat_min,\n"
                "lat_max, lon_min, lon_max) with coastlines, borders, a colour bar\n"
                "\"<variable> (<units>)\" and red markers at station_coords (dicts with\n"
                "\"lat\" and \"lon\"). Writes\n"
                "<output_base>_model_<region>_<variable>_<exp_name>.<fmt> per format\n"
                "word at 300 dpi, tight. ds_model None logs \"No model data to plot for\n"
                "<exp_name>\". start_date and end_date are not used. Returns None."};
}

}  // namespace kvelo::plotting
