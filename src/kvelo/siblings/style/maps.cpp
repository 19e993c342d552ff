// Map set-up, marker styles, colour norms, variable columns and units of the
// station maps.  The drawing libraries are imported on first use, so loading
// `style` stays light for the observation loader that only needs mappings.
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kvelo/binding/errors.hpp"
#include "kvelo/binding/function.hpp"
#include "kvelo/binding/module.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/log.hpp"
#include "kvelo/siblings/style/style.hpp"

namespace kvelo::style {

namespace {

using binding::Call;
using binding::fmt;

struct Bounds {
    double min_lat, max_lat, min_lon, max_lon;
};

// (min_lat, max_lat, min_lon, max_lon); anything else is refused before a
// figure exists, so a bad call leaves no figure behind.
Bounds parse_bounds(py::handle region_bounds) {
    // float() of each item; a value that is no number, or more than four
    // items (an endless iterator too), make the bounds unusable.
    std::vector<double> v;
    bool numbers = true;
    try {
        for (py::handle item : region_bounds) {
            if (v.size() == 4) {
                v.clear();
                break;
            }
            v.push_back(binding::as_double(item));
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError) &&
            !e.matches(PyExc_OverflowError)) {
            throw;
        }
        numbers = false;
    }
    auto finite = [](double x) { return std::isfinite(x); };
    if (!numbers || v.size() != 4 || !std::all_of(v.begin(), v.end(), finite)) {
        binding::raise(PyExc_ValueError, fmt("region_bounds must be four finite numbers (min_lat, "
                                             "max_lat, min_lon, max_lon), got {!r}",
                                             region_bounds));
    }
    Bounds b{v[0], v[1], v[2], v[3]};
    if (!(b.min_lat < b.max_lat) || !(b.min_lon < b.max_lon) || b.min_lat < -90 || b.max_lat > 90) {
        binding::raise(PyExc_ValueError,
                       fmt("region_bounds {!r} do not describe a latitude/longitude box (min_lat < "
                           "max_lat within -90..90, min_lon < max_lon)",
                           region_bounds));
    }
    return b;
}

// Extent, coastlines, borders and labelled grid lines on a PlateCarree axes.
void decorate_map(py::object ax, const Bounds& b) {
    py::module_ ccrs = py::module_::import("cartopy.crs");
    py::module_ cfeature = py::module_::import("cartopy.feature");
    ax.attr("set_extent")(py::make_tuple(b.min_lon, b.max_lon, b.min_lat, b.max_lat),
                          py::arg("crs") = ccrs.attr("PlateCarree")());
    // The features pick their Natural Earth scale from the extent.
    ax.attr("add_feature")(cfeature.attr("COASTLINE"), py::arg("linewidth") = 0.6,
                           py::arg("edgecolor") = "black", py::arg("zorder") = 1);
    ax.attr("add_feature")(cfeature.attr("BORDERS"), py::arg("linewidth") = 0.4,
                           py::arg("edgecolor") = "dimgray", py::arg("linestyle") = ":",
                           py::arg("zorder") = 1);
    py::object gl = ax.attr("gridlines")(py::arg("draw_labels") = true, py::arg("linewidth") = 0.4,
                                         py::arg("color") = "gray", py::arg("alpha") = 0.5,
                                         py::arg("linestyle") = "--");
    gl.attr("top_labels") = false;
    gl.attr("right_labels") = false;
}

py::object setup_cartopy_map1(const Call& c) {
    Bounds b = parse_bounds(c.arg("region_bounds"));
    py::module_ plt = py::module_::import("matplotlib.pyplot");
    py::module_ ccrs = py::module_::import("cartopy.crs");
    py::object fig = plt.attr("figure")(py::arg("figsize") = py::make_tuple(10, 7));
    try {
        py::object ax =
            fig.attr("add_subplot")(1, 1, 1, py::arg("projection") = ccrs.attr("PlateCarree")());
        decorate_map(ax, b);
        return py::make_tuple(fig, ax);
    } catch (...) {
        // The caller never received the figure, so nobody else could close it.
        plt.attr("close")(fig);
        throw;
    }
}

py::object setup_cartopy_map(const Call& c) {
    const py::object& ax = c.arg("ax");
    decorate_map(ax, parse_bounds(c.arg("region_bounds")));
    return ax;
}

py::object get_marker_style(const Call& c) {
    // The observation is a large circle; experiments take distinct shapes by
    // their place and shrink with it, so layers drawn at the same station
    // stay visible as rings around each other.
    static const char* const markers[] = {"s", "^", "D", "v", "P", "X", "<", ">", "h", "*"};
    constexpr long long n_markers = sizeof(markers) / sizeof(markers[0]);
    // int(i) as Python converts it: an exact int, whatever operators a
    // subclass of int defines, so the place of a marker is the remainder of
    // that int, however large; below 0 the place is 0, whose shape is the
    // first.  The remainder is checked before it picks from the table.
    const py::int_ i = binding::exact_int(c.arg("i"));
    const long long at = std::max(0LL, binding::saturated(i));
    const long long shape =
        at == 0 ? 0
                : binding::saturated(binding::binary(PyNumber_Remainder, i, py::int_(n_markers)));
    if (shape < 0 || shape >= n_markers) throw std::logic_error("marker place out of range");
    double size = std::max(25.0, 120.0 - 20.0 * static_cast<double>(std::min(at, 10LL)));
    if (binding::str_is(c.arg("label"), "obs")) return py::make_tuple("o", size);
    return py::make_tuple(markers[shape], size);
}

py::object calculate_color_norm(const Call& c) {
    py::module_ np = py::module_::import("numpy");
    py::module_ mcolors = py::module_::import("matplotlib.colors");
    const py::object& variable = c.arg("variable");
    const py::object& debug = c.arg("debug");
    py::object values =
        np.attr("asarray")(c.arg("values"), py::arg("dtype") = "float64").attr("ravel")();
    py::object finite = values[np.attr("isfinite")(values)];
    if (py::len(finite) == 0) {
        if (binding::truthy(debug)) {
            shared::log_debug(c, fmt("No finite values of {} for a colour scale.", variable));
        }
        return py::none();
    }
    double lo = binding::as_double(finite.attr("min")());
    double hi = binding::as_double(finite.attr("max")());
    py::object norm;
    // Strictly positive values over more than two decades read better on a
    // logarithmic scale (number and column densities).
    if (lo > 0 && hi / lo > 100.0) {
        norm = mcolors.attr("LogNorm")(py::arg("vmin") = lo, py::arg("vmax") = hi);
    } else {
        if (lo == hi) {
            double pad = lo == 0 ? 1.0 : std::abs(lo) * 0.05;
            lo -= pad;
            hi += pad;
        }
        norm = mcolors.attr("Normalize")(py::arg("vmin") = lo, py::arg("vmax") = hi);
    }
    if (binding::truthy(debug)) {
        shared::log_debug(c, fmt("Colour scale of {} [{}]: {} from {} to {}", variable,
                                 c.arg("unit"), py::type::of(norm).attr("__name__"), lo, hi));
    }
    return norm;
}

py::object load_variable_columns(const Call& c) {
    // Drawing order: observation column, the bare variable column, then the
    // experiment columns in table order.  Names stay Python text.
    const py::object& df = c.arg("df");
    py::str variable(c.arg("variable"));
    py::str prefix = fmt("{}_", variable);
    py::str obs = fmt("{}obs", prefix);
    py::list names;
    for (py::handle col : df.attr("columns")) {
        if (py::isinstance<py::str>(col)) names.append(col);
    }
    const size_t prefix_len = py::len(prefix);
    py::list columns, experiments;
    if (binding::contains(names, obs)) columns.append(obs);
    if (binding::contains(names, variable)) columns.append(variable);
    for (py::handle n : names) {
        py::object name = py::reinterpret_borrow<py::object>(n);
        if (binding::holds(name, obs, Py_NE) && py::len(name) > prefix_len &&
            binding::truthy(name.attr("startswith")(prefix))) {
            columns.append(name);
            experiments.append(
                name[py::slice(static_cast<py::ssize_t>(prefix_len), std::nullopt, std::nullopt)]);
        }
    }
    return py::make_tuple(columns, obs, experiments);
}

py::object get_variable_colorbar_limits(const Call& c) {
    // Fixed colour ranges that make figures of one variable comparable
    // between runs; None leaves the range to the data.
    static const std::map<std::string, std::pair<double, double>> limits = {
        {"o3", {0.0, 80.0}},    {"no2", {0.0, 40.0}},      {"no", {0.0, 20.0}},
        {"co", {0.0, 400.0}},   {"so2", {0.0, 10.0}},      {"pm25", {0.0, 50.0}},
        {"pm10", {0.0, 80.0}},  {"ch4", {1800.0, 2100.0}}, {"aod", {0.0, 1.0}},
        {"aod550", {0.0, 1.0}},
    };
    auto key = folded_key(c.arg("variable"), "lower");
    if (!key) return py::none();
    auto it = limits.find(*key);
    if (it == limits.end()) return py::none();
    return py::make_tuple(it->second.first, it->second.second);
}

struct UnitInfo {
    const char* family;
    double factor;  // to the family's base unit
};

const std::map<std::string, UnitInfo>& unit_table() {
    static const std::map<std::string, UnitInfo> table = {
        {"mol/mol", {"mixing ratio", 1.0}},
        {"ppm", {"mixing ratio", 1e-6}},
        {"ppmv", {"mixing ratio", 1e-6}},
        {"ppb", {"mixing ratio", 1e-9}},
        {"ppbv", {"mixing ratio", 1e-9}},
        {"ppt", {"mixing ratio", 1e-12}},
        {"pptv", {"mixing ratio", 1e-12}},
        {"kg/m3", {"mass concentration", 1.0}},
        {"g/m3", {"mass concentration", 1e-3}},
        {"mg/m3", {"mass concentration", 1e-6}},
        {"ug/m3", {"mass concentration", 1e-9}},
        {"\u00b5g/m3", {"mass concentration", 1e-9}},
        {"\u03bcg/m3", {"mass concentration", 1e-9}},
        {"ng/m3", {"mass concentration", 1e-12}},
    };
    return table;
}

py::object convert_units(const Call& c) {
    const auto [values, from_unit, to_unit] = c.args("values", "from_unit", "to_unit");
    // str(unit).lower() without blanks, as Python text.
    auto key = [](py::handle u) -> py::object {
        return py::str(u).attr("lower")().attr("replace")(" ", "");
    };
    py::object from_key = key(from_unit), to_key = key(to_unit);
    if (binding::equals(from_key, to_key)) return values;
    auto find = [](const py::object& k) {
        auto bytes = binding::utf8(k);
        return bytes ? unit_table().find(std::string(*bytes)) : unit_table().end();
    };
    auto f = find(from_key);
    auto t = find(to_key);
    if (f == unit_table().end() || t == unit_table().end() ||
        std::string(f->second.family) != t->second.family) {
        binding::raise(PyExc_ValueError, fmt("Cannot convert from '{}' to '{}'", py::str(from_unit),
                                             py::str(to_unit)));
    }
    return values * py::float_(f->second.factor / t->second.factor);
}

}  // namespace

void add_maps(py::module_& m) {
    binding::import_as(m, "logging", "logging");
    binding::def(m,
                 {.name = "setup_cartopy_map1",
                  .params = {"region_bounds"},
                  .impl = setup_cartopy_map1,
                  .doc = "setup_cartopy_map1(region_bounds)\n\nA new current figure with "
                         "PlateCarree map axes over region_bounds (min_lat, max_lat, min_lon, "
                         "max_lon): coastlines, borders, labelled grid lines. Returns (fig, ax); "
                         "ValueError, and no figure, for bounds that are no such box."});
    binding::def(m, {.name = "setup_cartopy_map",
                     .params = {"ax", "region_bounds"},
                     .impl = setup_cartopy_map,
                     .doc = "setup_cartopy_map(ax, region_bounds)\n\nExtent, coastlines, borders "
                            "and grid lines on existing PlateCarree map axes; returns ax."});
    binding::def(m, {.name = "get_marker_style",
                     .params = {"label", "i"},
                     .impl = get_marker_style,
                     .doc = "get_marker_style(label, i)\n\n(marker, size) of the scatter layer of "
                            "a column label at place i."});
    binding::def(m, {.name = "calculate_color_norm",
                     .params = {"values", "variable", "unit", {"debug", py::bool_(false)}},
                     .impl = calculate_color_norm,
                     .doc = "calculate_color_norm(values, variable, unit, debug=False)\n\nA "
                            "Normalize (LogNorm for positive values over more than two decades) "
                            "spanning the finite values; None when there is none."});
    binding::def(m, {.name = "get_variable_colorbar_limits",
                     .params = {"variable"},
                     .impl = get_variable_colorbar_limits,
                     .doc = "get_variable_colorbar_limits(variable)\n\n(vmin, vmax) for a known "
                            "variable, else None."});
    binding::def(m, {.name = "load_variable_columns",
                     .params = {"df", "variable"},
                     .impl = load_variable_columns,
                     .doc = "load_variable_columns(df, variable)\n\n(columns to draw, observation "
                            "column name, experiment names): <variable>_obs, <variable>, then the "
                            "<variable>_<experiment> columns in table order."});
    binding::def(m, {.name = "convert_units",
                     .params = {"values", "from_unit", "to_unit"},
                     .impl = convert_units,
                     .doc = "convert_units(values, from_unit, to_unit)\n\nScale values between "
                            "mixing-ratio units (ppm, ppb, ppt) or mass concentrations (g/m3, "
                            "mg/m3, ug/m3, ng/m3); ValueError for other pairs."});
}

}  // namespace kvelo::style
