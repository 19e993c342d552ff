// plot_station_timeseries_grouped_or_subplots: the figures of a plain
// (observation-only) run.  A regional figure of the mean over all stations,
// then, when asked, the stations themselves: one panel when they fit,
// otherwise group figures or one figure of small panels.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "kvelo/binding/errors.hpp"
#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/chronoplex/axes.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"
#include "kvelo/modules/chronoplex/regional.hpp"
#include "kvelo/shared/figures.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

constexpr const char* kName = "plot_station_timeseries_grouped_or_subplots";

// pd.to_datetime(times).  For stamps already held as a series or index of
// naive nanosecond stamps the conversion returns them unchanged; its cache
// would only scan them first (for a long series that scan costs far more than
// everything else done with it), so it is turned off there.
py::object as_datetime(const Call& c, py::handle times) {
    py::object pd = c.g("pd");
    const bool stamps =
        py::isinstance(times, pd.attr("Series")) || py::isinstance(times, pd.attr("DatetimeIndex"));
    if (stamps && str_is(times.attr("dtype"), "datetime64[ns]")) {
        return pd.attr("to_datetime")(times, "cache"_a = false);
    }
    return pd.attr("to_datetime")(times);
}

// The regional series: natively when the kernel takes every station (naive
// nanosecond stamps and, as the library's group mean would hold them, float64
// or float32 values, integers and booleans as float64, of matching lengths);
// anything else (time zones, lists, nullable or object values, scalars,
// mismatched lengths, no station at all) goes to the library, which also
// raises its own errors for what it cannot join.
RegionalSeries regional_series(const Call& c, py::handle data, py::handle station_ids) {
    py::object pd = c.g("pd");
    Regional regional(c, Duplicates::Averaged);
    for (py::handle sid : station_ids) {
        py::object st = data[sid];
        py::object times = as_datetime(c, st["time"]);
        // The values by their array, as the library formulation takes them.
        py::object values = st["value"];
        if (py::isinstance(values, pd.attr("Series"))) values = values.attr("values");
        regional.add([&](NativeRegional& n) { return n.add(times, values); },
                     [pd, values, times] { return pd.attr("Series")(values, "index"_a = times); },
                     sid);
    }
    return regional.reduce({.sort_rows = true, .range = true});
}

// Up to this many colours the palette is asked for as it is written.
constexpr long long kPaletteLimit = 4096;

// sns.color_palette("colorblind", n_colors=group_size) and the length it has.
// The palette reads the group size as range() does (None gives the palette's
// own colours; a float or text is the interpreter's TypeError; negatives give
// none).  A larger palette only repeats its colours, and a station's colour
// is looked up below the number of stations, so beyond the limit the colours
// up to that number stand for it, with the length the whole palette would
// have: a huge group size draws as it reads instead of filling memory.
py::object colour_palette(const Call& c, py::handle group_size, size_t n_stations,
                          py::object& length) {
    py::object n_colors = py::none();
    if (!group_size.is_none()) {
        py::int_ k = index(group_size);
        const long long count = saturated(k);
        n_colors = k;
        if (count > kPaletteLimit) {
            length = k;
            if (count > static_cast<long long>(n_stations)) n_colors = py::int_(n_stations);
        }
    }
    py::object p = c.g("sns").attr("color_palette")("colorblind", "n_colors"_a = n_colors);
    if (!length) length = py::int_(py::len(p));
    return p;
}

// Everything one call reads or prepares before its figures.  The group size
// stays the setting's own object: the figures compare and divide by it as
// the interpreter would, so an odd setting fails where Python's arithmetic
// fails on it (TypeError, ZeroDivisionError) and works where that works.
struct Ctx {
    const Call& c;
    py::object data, plot_file_base, formats, plot_title, ylabel;
    py::object plot_mode, group_size, fix_y, show_min_max, force_full_year;
    py::object station_ids, palette, palette_len;
    RegionalSeries reg{};
    py::object y_limits = py::none();
    std::string mima{}, yfix{};

    bool with_meta() const { return holds(group_size, py::int_(5), Py_LE); }
    // palette[j % len(palette)]: an empty palette fails as Python's modulo does.
    py::object color(size_t j) const {
        return palette[binary(PyNumber_Remainder, py::int_(j), palette_len)];
    }
};

void save_all(const Ctx& x, py::handle fig, py::handle part) {
    save_each_format_300_tight(x.c, fig.attr("savefig"),
                               fmt("{}{}{}{}", x.plot_file_base, part, x.mima, x.yfix), x.formats);
}

void draw_band(const Ctx& x, py::handle ax) {
    ax.attr("fill_between")(x.reg.index, x.reg.min, x.reg.max, "color"_a = "gray", "alpha"_a = 0.2,
                            "label"_a = "Station range");
}

void draw_mean(const Ctx& x, py::handle ax) {
    ax.attr("plot")(x.reg.index, x.reg.mean, "label"_a = "Observations (mean)", "color"_a = "black",
                    "marker"_a = "o", "markersize"_a = 4, "linewidth"_a = 1.6, "linestyle"_a = "-",
                    "zorder"_a = 3);
}

void draw_station(const Ctx& x, py::handle ax, py::handle sid, py::handle times, size_t j) {
    ax.attr("plot")(times, x.data[sid]["value"], "label"_a = sid, "color"_a = x.color(j),
                    "alpha"_a = 0.7, "linewidth"_a = 0.8);
}

void time_axis_and_range(const Ctx& x, py::handle ax) {
    x.c.g("apply_time_axis_format")(ax, x.reg.index, x.force_full_year);
    if (truthy(x.fix_y)) ax.attr("set_ylim")(x.y_limits);
}

// "ST1: Hilltop [lon: 7.6, lat: 47.5, elevation: 316.0 m]"
py::str meta_line(const Ctx& x, py::handle sid) {
    py::object pd = x.c.g("pd");
    py::object st = x.data[sid];
    py::str empty("");
    py::object site_name = get(st, "site_name", empty);
    py::object elevation = get(st, "elevation_m", empty);
    py::object lon = get(st, "lon", empty);
    py::object lat = get(st, "lat", empty);
    py::str line = fmt("{}", sid);
    if (truthy(site_name) && truthy(pd.attr("notna")(site_name))) {
        line = fmt("{}: {}", line, site_name);
    }
    line = fmt("{} [lon: {}, lat: {}", line, lon, lat);
    if (truthy(elevation) && truthy(pd.attr("notna")(elevation))) {
        line = fmt("{}, elevation: {} m", line, elevation);
    }
    return fmt("{}]", line);
}

// With metadata: the figure title and the stations' lines on the axes;
// otherwise the axes carries `title` alone.
void set_titles(const Ctx& x, py::handle fig, py::handle ax, const py::list& lines,
                py::handle title) {
    if (x.with_meta()) {
        fig.attr("suptitle")(x.plot_title, "fontsize"_a = 14);
        ax.attr("set_title")(py::str("\n").attr("join")(lines), "fontsize"_a = 10);
    } else {
        ax.attr("set_title")(title, "fontsize"_a = 14);
    }
}

// One figure with one axes, 12 x 6 inches.
py::tuple wide_figure(const Ctx& x) {
    return x.c.g("plt").attr("subplots")("figsize"_a = py::make_tuple(12, 6),
                                         "constrained_layout"_a = true);
}

void single_panel(const Ctx& x, std::optional<FigureGuard>& guard) {
    py::tuple made = wide_figure(x);
    guard.emplace(x.c.g("plt"), made[0]);
    py::object fig = made[0], ax = made[1];
    if (truthy(x.show_min_max)) draw_band(x, ax);
    if (truthy(x.fix_y)) draw_mean(x, ax);
    size_t j = 0;
    for (py::handle sid : x.station_ids) {
        draw_station(x, ax, sid, x.data[sid]["time"], j++);
    }
    py::list lines;
    if (x.with_meta()) {
        for (py::handle sid : x.station_ids) lines.append(meta_line(x, sid));
    }
    set_titles(x, fig, ax, lines, x.plot_title);
    ax.attr("set_xlabel")("Time");
    ax.attr("set_ylabel")(x.ylabel);
    time_axis_and_range(x, ax);
    ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 9, "frameon"_a = false, "ncol"_a = 2);
    save_all(x, fig, py::str("_all"));
    guard->close();
}

// Groups as the slices station_ids[i * size:(i + 1) * size] for i in
// range(ceil(n / size)), all in Python's arithmetic.
void group_figures(const Ctx& x) {
    py::object plt = x.c.g("plt");
    const size_t n = py::len(x.station_ids);
    py::object n_groups = x.c.g("ceil")(py::int_(n) / x.group_size);
    py::object one = py::int_(1);
    for (py::handle i : x.c.g("range")(n_groups)) {
        py::object number = i + one;
        py::list group(x.station_ids[slice(i * x.group_size, number * x.group_size)]);
        py::tuple made = wide_figure(x);
        FigureGuard guard(plt, made[0]);
        py::object fig = made[0], ax = made[1];
        py::list lines;
        size_t j = 0;
        for (py::handle sid : group) {
            if (x.with_meta()) lines.append(meta_line(x, sid));
            draw_station(x, ax, sid, as_datetime(x.c, x.data[sid]["time"]), j++);
        }
        set_titles(x, fig, ax, lines, fmt("{} (Group {})", x.plot_title, number));
        if (truthy(x.show_min_max)) draw_band(x, ax);
        if (truthy(x.fix_y)) draw_mean(x, ax);
        ax.attr("set_xlabel")("Time", "fontsize"_a = 10);
        ax.attr("set_ylabel")(x.ylabel, "fontsize"_a = 10);
        time_axis_and_range(x, ax);
        draw_grids(ax, GridColour::Grey);
        ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 8, "frameon"_a = false,
                          "ncol"_a = 2);
        save_all(x, fig, fmt("_group_{}of{}gs{}", number, n_groups, x.group_size));
        guard.close();
    }
}

void subplot_figure(const Ctx& x) {
    py::object plt = x.c.g("plt");
    const size_t n = py::len(x.station_ids);
    py::object n_rows = x.c.g("ceil")(py::int_(n) / py::int_(2));
    py::tuple made = plt.attr("subplots")(
        "nrows"_a = n_rows, "ncols"_a = 2,
        "figsize"_a = py::make_tuple(14, n_rows * py::float_(2.5)), "constrained_layout"_a = true);
    FigureGuard guard(plt, made[0]);
    py::object fig = made[0];
    py::object axes = made[1].attr("flatten")();
    py::list lines;
    size_t k = 0;
    for (py::handle sid : x.station_ids) {
        py::object ax = axes[py::int_(k)];
        draw_station(x, ax, sid, as_datetime(x.c, x.data[sid]["time"]), k);
        if (truthy(x.show_min_max)) draw_band(x, ax);
        if (truthy(x.fix_y)) draw_mean(x, ax);
        // Not cleared between panels: panel k lists the first k stations.
        if (x.with_meta()) lines.append(meta_line(x, sid));
        set_titles(x, fig, ax, lines, x.plot_title);
        ax.attr("set_xlabel")("Time");
        ax.attr("set_ylabel")(x.ylabel);
        time_axis_and_range(x, ax);
        draw_grids(ax, GridColour::Grey);
        ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 7, "frameon"_a = false);
        ++k;
    }
    save_all(x, fig, py::str("_subplots"));
    guard.close();
}

// Returns true when the call is over (single panel written).
bool station_figures(Ctx& x) {
    const size_t n = py::len(x.station_ids);
    if (holds(py::int_(n), x.group_size, Py_GT)) {
        log_info(x.c, fmt("Too many stations ({}), using '{}' mode instead of single-plot.", n,
                          x.plot_mode));
    } else {
        std::optional<FigureGuard> guard;
        try {
            single_panel(x, guard);
            return true;
        } catch (...) {
            // A C++ failure counts as the Python error it stands for, named
            // in Python's words.
            py::error_already_set e = error_from_exception(kName);
            if (!e.matches(PyExc_Exception)) throw e;
            log_warning(x.c,
                        fmt("Single-panel time series plot failed: {}. Falling back to '{}' mode.",
                            e.value(), x.plot_mode));
            guard.reset();
        }
    }
    if (equals(x.plot_mode, py::str("grouped"))) {
        group_figures(x);
    } else if (equals(x.plot_mode, py::str("subplots"))) {
        subplot_figure(x);
    } else {
        py::str msg = fmt("Unsupported plot_mode: {}", x.plot_mode);
        log_error(x.c, msg);
        raise(PyExc_ValueError, msg);
    }
    return false;
}

py::object plot_grouped_or_subplots(const Call& c) {
    const py::object& config = c.arg("config");
    const py::object& debug = c.arg("debug");
    start_banner(c, debug, kName);
    py::object plot_mode = get(config, "plot_mode", py::str("grouped"));
    py::object group_size = get(config, "station_plot_group_size", py::int_(15));
    py::object fix_y = get(config, "fix_y_axis", py::none());
    py::object show_stations = get(config, "show_stations", py::none());
    py::object show_min_max = get(config, "show_min_max", py::none());
    py::object force_full_year = get(config, "force_full_year", py::none());

    c.g("sns").attr("set_theme")("style"_a = "whitegrid");
    const py::object& data = c.arg("data");
    py::object station_ids = c.g("sorted")(data.attr("keys")());
    py::object palette_len;
    py::object palette = colour_palette(c, group_size, py::len(station_ids), palette_len);

    Ctx x{.c = c,
          .data = data,
          .plot_file_base = c.arg("plot_file_base"),
          .formats = c.arg("save_plot_formats"),
          .plot_title = c.arg("plot_title"),
          .ylabel = fmt("{} [{}]", c.arg("variable"), c.arg("unit")),
          .plot_mode = plot_mode,
          .group_size = group_size,
          .fix_y = fix_y,
          .show_min_max = show_min_max,
          .force_full_year = force_full_year,
          .station_ids = station_ids,
          .palette = palette,
          .palette_len = palette_len};

    x.reg = regional_series(c, data, station_ids);

    if (truthy(fix_y)) {
        x.yfix = "_yfixed";
        py::object lo = x.reg.min.attr("min")(), hi = x.reg.max.attr("max")();
        py::object m = py::float_(0.05) * (hi - lo);
        x.y_limits = py::make_tuple(lo - m, hi + m);
    }

    {
        py::tuple made = wide_figure(x);
        FigureGuard guard(c.g("plt"), made[0]);
        py::object fig = made[0], ax = made[1];
        if (truthy(show_min_max)) {
            x.mima = "_minmax";
            draw_band(x, ax);
        }
        draw_mean(x, ax);
        ax.attr("set_xlabel")("Time", "fontsize"_a = 10);
        ax.attr("set_ylabel")(x.ylabel, "fontsize"_a = 10);
        ax.attr("set_title")(x.plot_title, "fontsize"_a = 12, "pad"_a = 10);
        time_axis_and_range(x, ax);
        draw_grids(ax, GridColour::Grey);
        ax.attr("legend")("loc"_a = "upper right", "fontsize"_a = 9, "frameon"_a = false,
                          "ncol"_a = 2);
        save_all(x, fig, py::str("_regional_mean"));
        guard.close();
    }

    if (!truthy(show_stations)) {
        end_banner(c, debug, kName, EndForm::Wide);
        return py::none();
    }
    if (station_figures(x)) return py::none();
    end_banner(c, debug, kName, EndForm::Wide);
    return py::none();
}

}  // namespace

FunctionSpec spec_plot_station_timeseries_grouped_or_subplots() {
    return figure_spec(
        kName, plot_grouped_or_subplots,
        "Plain road (observations only): the regional mean over all stations, then,\n"
        "with show_stations, the stations themselves: one figure when they fit\n"
        "station_plot_group_size, else group figures (plot_mode \"grouped\") or one\n"
        "figure of small panels (\"subplots\").\n"
        "\n"
        "config keys: plot_mode (\"grouped\"), station_plot_group_size (15), fix_y_axis,\n"
        "show_stations, show_min_max (off when absent), force_full_year.\n"
        "\n"
        "Writes <plot_file_base>_regional_mean, _all, _group_<i>of<n>gs<size> or\n"
        "_subplots, then _minmax and _yfixed when set, .<fmt> for every format word\n"
        "(300 dpi, tight). Returns None; an unsupported plot_mode raises ValueError.",
        false);
}

}  // namespace kvelo::chronoplex
