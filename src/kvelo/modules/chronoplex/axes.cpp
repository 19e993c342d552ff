#include "kvelo/modules/chronoplex/axes.hpp"

#include "kvelo/binding/values.hpp"

namespace kvelo::chronoplex {

using namespace pybind11::literals;

void draw_grids(py::handle ax, GridColour colour) {
    if (colour == GridColour::Grey) {
        ax.attr("grid")(true, "which"_a = "major", "color"_a = "gray", "linestyle"_a = "-",
                        "linewidth"_a = 0.3, "alpha"_a = 0.4);
        ax.attr("grid")(true, "which"_a = "minor", "color"_a = "gray", "linestyle"_a = ":",
                        "linewidth"_a = 0.2, "alpha"_a = 0.3);
    } else {
        ax.attr("grid")(true, "which"_a = "major", "linestyle"_a = "-", "linewidth"_a = 0.3);
        ax.attr("grid")(true, "which"_a = "minor", "linestyle"_a = ":", "linewidth"_a = 0.2);
    }
    ax.attr("set_axisbelow")(true);
}

void tick_axes(py::handle ax) {
    ax.attr("tick_params")("axis"_a = "x", "labelsize"_a = 12, "pad"_a = 6);
    ax.attr("tick_params")("axis"_a = "y", "labelsize"_a = 12, "pad"_a = 6);
}

void plot_line(py::handle ax, py::handle x, py::handle y, const py::dict& own, py::handle style) {
    binding::call_kw(ax.attr("plot"), py::make_tuple(x, y), own, style);
}

}  // namespace kvelo::chronoplex
