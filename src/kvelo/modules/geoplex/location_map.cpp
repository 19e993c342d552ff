// Station location map: one red point per distinct station position, a
// density-chosen subset numbered by position, the numbers spread apart by
// adjustText.
//
// The table work (dropna, drop_duplicates, copies) stays with pandas: it is
// one vectorised pass each, and the drawing and label spreading cost far more.
#include <initializer_list>
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

constexpr const char* kName = "station_location_map_plot_from_file";

py::list names(std::initializer_list<const char*> items) {
    py::list out;
    for (const char* s : items) out.append(s);
    return out;
}

// One number label per selected row, at the row's position: its index label + 1.
py::list draw_labels(const Call& c, py::object ax, py::object selection) {
    py::object ccrs = c.g("ccrs");
    py::list texts;
    for (py::handle pair : selection.attr("iterrows")()) {
        std::vector<py::object> item = unpack(pair, 2);
        py::object label = item[0], row = item[1];
        py::dict box("boxstyle"_a = "round,pad=0.2", "fc"_a = "white", "alpha"_a = 0.6, "lw"_a = 0);
        texts.append(ax.attr("text")(row["lon"], row["lat"], py::str(label + py::int_(1)),
                                     "fontsize"_a = 7, "color"_a = "black", "weight"_a = "bold",
                                     "transform"_a = ccrs.attr("PlateCarree")(), "bbox"_a = box,
                                     "zorder"_a = 10));
    }
    return texts;
}

py::object station_location_map_plot_from_file(const Call& c) {
    const py::object& debug = c.arg("debug");
    start_banner(c, debug, kName);

    auto read = read_station_table(c, c.arg("data_file_base"), c.arg("data_format"), debug);
    if (!read) return py::none();
    py::object df = read->first;

    py::object columns = df.attr("columns");
    if (truthy(df.attr("empty")) || !contains(columns, py::str("lat")) ||
        !contains(columns, py::str("lon"))) {
        log_warning(c, py::str("No valid station coordinates found in data."));
        return py::none();
    }
    df = df.attr("dropna")("subset"_a = names({"lat", "lon"}));
    if (truthy(df.attr("empty"))) {
        log_warning(c, py::str("All station entries missing lat/lon."));
        return py::none();
    }
    const size_t n_before = py::len(df);
    // The earlier row of each position stays; positions are numbered afresh.
    df = df.attr("drop_duplicates")("subset"_a = names({"lat", "lon"}))
             .attr("reset_index")("drop"_a = true);
    const size_t n_after = py::len(df);
    if (truthy(debug) && n_after != n_before) {
        log_debug(c, fmt("Reduced from {} to {} stations after deduplication", n_before, n_after));
    }

    py::object station_df = df[names({"site_id", "lat", "lon"})].attr("copy")();
    py::object lats = station_df["lat"].attr("values");
    py::object lons = station_df["lon"].attr("values");

    std::vector<py::object> fig_ax =
        unpack(c.g("setup_cartopy_map1")("region_bounds"_a = c.arg("region_bounds")), 2);
    py::object plt = c.g("plt");
    // Also closed when an error propagates, so a failed map leaves no figure behind.
    FigureGuard guard(plt, fig_ax[0]);
    py::object ax = fig_ax[1];

    ax.attr("scatter")(lons, lats, "color"_a = "red", "marker"_a = "o", "s"_a = 70,
                       "edgecolor"_a = "black", "linewidth"_a = 0.6, "label"_a = "Stations",
                       "alpha"_a = 0.8, "transform"_a = c.g("ccrs").attr("PlateCarree")());

    py::object selection = c.g("select_label_stations_by_density")(
        "station_df"_a = station_df, "density"_a = 0.4, "min_labels"_a = 1, "max_labels"_a = 100);
    py::list texts = draw_labels(c, ax, selection);
    c.g("adjust_text")(texts, "ax"_a = ax, "expand_text"_a = py::make_tuple(1.05, 1.2),
                       "expand_points"_a = py::make_tuple(1.05, 1.2), "arrowprops"_a = py::none());

    py::object title = c.arg("plot_title");
    if (!truthy(title)) {
        py::object region_label = c.g("get_readable_region_name")(c.arg("region"));
        title = fmt("Station Locations - {} ({}) [{} to {}]", region_label, c.arg("exp"),
                    c.arg("start_date"), c.arg("end_date"));
    }
    ax.attr("set_title")(title, "fontsize"_a = 12);
    ax.attr("legend")("loc"_a = "upper left", "fontsize"_a = 9);

    save_each_format_300_tight(c, plt.attr("savefig"), c.arg("plot_file_base"),
                               c.arg("save_plot_formats"));
    guard.close();
    end_banner(c, debug, kName);
    return py::none();
}

}  // namespace

FunctionSpec spec_station_location_map_plot_from_file() {
    std::vector<Param> params = {"data_file_base",
                                 "data_format",
                                 "region",
                                 "obs_type",
                                 "region_bounds",
                                 "plot_file_base",
                                 "save_plot_formats",
                                 "plot_title",
                                 {"start_date", py::none()},
                                 {"end_date", py::none()},
                                 {"variable", py::none()},
                                 {"debug", py::bool_(false)},
                                 {"exp", py::none()}};
    std::string doc = signature_line(kName, params);
    return {.name = kName,
            .params = std::move(params),
            .impl = station_location_map_plot_from_file,
            .doc = doc};
}

}  // namespace kvelo::geoplex
