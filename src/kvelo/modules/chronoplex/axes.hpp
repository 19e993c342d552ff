// Axes pieces that several station figures draw alike.
#pragma once

#include <pybind11/pybind11.h>

namespace kvelo::chronoplex {

namespace py = pybind11;

enum class GridColour {
    Grey,     // grey major and minor lines, the minor ones fainter
    Default,  // the style's own colour and opacity
};

// Solid major and dotted minor grid lines, below the data.
void draw_grids(py::handle ax, GridColour colour);

// Tick labels of both axes at size 12, 6 points from the axes.
void tick_axes(py::handle ax);

// ax.plot(x, y, **own, **style): a style that also names one of `own`'s
// keywords, that is no mapping or whose keys are no texts fails with the
// interpreter's error.
void plot_line(py::handle ax, py::handle x, py::handle y, const py::dict& own, py::handle style);

}  // namespace kvelo::chronoplex
