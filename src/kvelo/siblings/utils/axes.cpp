#include <cctype>
#include <cstdint>
#include <string>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/siblings/utils/utils.hpp"

namespace kvelo::utils {

namespace {

using binding::Call;

py::object apply_time_axis_format(const Call& c) {
    const py::object& ax = c.arg("ax");
    const py::object& times = c.arg("times");
    py::module_ mdates = py::module_::import("matplotlib.dates");
    py::object locator =
        mdates.attr("AutoDateLocator")(py::arg("minticks") = 3, py::arg("maxticks") = 8);
    py::object formatter = mdates.attr("ConciseDateFormatter")(locator);
    if (binding::truthy(c.arg("force_full_year")) && py::len(times) > 0) {
        py::module_ pd = py::module_::import("pandas");
        py::object first = pd.attr("Timestamp")(pd.attr("DatetimeIndex")(times).attr("min")());
        if (!binding::truthy(pd.attr("isna")(first))) {
            py::object year = first.attr("year");
            ax.attr("set_xlim")(pd.attr("Timestamp")(year, 1, 1),
                                pd.attr("Timestamp")(year, 12, 31, 23, 59, 59));
            locator = mdates.attr("MonthLocator")();
            formatter = mdates.attr("DateFormatter")("%b");
        }
    }
    py::object xaxis = ax.attr("xaxis");
    xaxis.attr("set_major_locator")(locator);
    xaxis.attr("set_major_formatter")(formatter);
    return py::none();
}

// Colour-blind friendly cycle without black and gray (kept for obs and bands).
const char* const kPalette[] = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                                "#E69F00", "#56B4E9", "#F0E442", "#8c564b"};
constexpr size_t kPaletteSize = sizeof(kPalette) / sizeof(kPalette[0]);

size_t colour_index(const std::string& key) {
    // A trailing number picks its colour (exp1, exp2, ...), so a run's
    // experiments differ; other names hash to a fixed colour.
    size_t end = key.size(), start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(key[start - 1]))) --start;
    if (start < end && end - start < 9) {
        size_t n = std::stoul(key.substr(start));
        return (n == 0 ? 0 : n - 1) % kPaletteSize;
    }
    uint32_t h = 2166136261u;
    for (unsigned char ch : key) h = (h ^ ch) * 16777619u;
    return h % kPaletteSize;
}

py::object get_line_style(const Call& c) {
    // str(key) as Python text; its lossless bytes pick the colour (ASCII
    // digits and "_obs" read the same in them).
    py::str text(c.arg("key"));
    std::string key = binding::text_key(text);
    py::dict style;
    bool is_obs = key == "obs" || (key.size() > 4 && key.compare(key.size() - 4, 4, "_obs") == 0);
    style["color"] = is_obs ? "black" : kPalette[colour_index(key)];
    style["linestyle"] = "-";
    return style;
}

py::object is_log_unit(const Call& c) {
    static const char* const log_units[] = {
        "molec/cm2", "molec cm-2", "molecules/cm2", "molecules cm-2", "molec/cm^2", "cm-2", "cm-3",
        "#/cm3",     "1/cm3",      "particles/cm3", "#/cc",           "cm^-3",      "m-3",  "#/m3"};
    const py::object& unit = c.arg("unit");
    if (unit.is_none()) return py::bool_(false);
    // str(unit).strip().lower(), as Python folds it.
    py::object norm = py::str(unit).attr("strip")().attr("lower")();
    for (const char* u : log_units) {
        if (binding::text_is(norm, u)) return py::bool_(true);
    }
    return py::bool_(false);
}

py::object extract_keys(const Call& c) {
    // The experiment keys of one station_data: keys beginning with
    // "<variable>_", the observation key excluded.
    const py::object& variable = c.arg("variable");
    py::str prefix = binding::fmt("{}_", variable);
    py::str obs = binding::fmt("{}_obs", variable);
    py::list keys;
    for (py::handle k : c.arg("station_data")) {
        if (!py::isinstance<py::str>(k)) continue;
        py::object key = py::reinterpret_borrow<py::object>(k);
        if (binding::truthy(key.attr("startswith")(prefix)) && binding::holds(key, obs, Py_NE))
            keys.append(k);
    }
    return keys;
}

}  // namespace

void add_axes(py::module_& m) {
    binding::def(m, {.name = "apply_time_axis_format",
                     .params = {"ax", "times", {"force_full_year", py::none()}},
                     .impl = apply_time_axis_format,
                     .doc = "apply_time_axis_format(ax, times, force_full_year=None)\n\n"
                            "Date ticks on the x axis; a truthy force_full_year shows the whole "
                            "calendar year of the first time stamp."});
    binding::def(m, {.name = "get_line_style",
                     .params = {"key"},
                     .impl = get_line_style,
                     .doc = "get_line_style(key)\n\nA new dict of Axes.plot keywords (color, "
                            "linestyle) for 'obs' or an experiment key: black for obs; a trailing "
                            "number picks its colour from a colour-blind palette, other names a "
                            "fixed colour of their own, which may equal another key's."});
    binding::def(m, {.name = "is_log_unit",
                     .params = {"unit"},
                     .impl = is_log_unit,
                     .doc = "is_log_unit(unit)\n\nTrue for column and number densities, which "
                            "are drawn on a logarithmic axis."});
    binding::def(m, {.name = "extract_keys",
                     .params = {"station_data", "variable"},
                     .impl = extract_keys,
                     .doc = "extract_keys(station_data, variable)\n\nThe experiment keys of one "
                            "station's data."});
}

}  // namespace kvelo::utils
