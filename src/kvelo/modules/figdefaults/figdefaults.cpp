// Shared plot style: twelve process-wide drawing settings.
#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/module.hpp"

namespace py = pybind11;
using namespace kvelo::binding;

namespace {

py::object set_kvelo_plot_style(const Call&) {
    // Imported here so that loading this module does not load the drawing library.
    py::object plt = py::module_::import("matplotlib.pyplot");
    py::dict style;
    style["figure.dpi"] = 150;
    style["savefig.dpi"] = 300;
    style["font.size"] = 12;
    style["axes.titlesize"] = 14;
    style["axes.labelsize"] = 12;
    style["legend.fontsize"] = 10;
    style["xtick.labelsize"] = 10;
    style["ytick.labelsize"] = 10;
    style["figure.facecolor"] = "white";
    style["axes.edgecolor"] = "black";
    style["axes.linewidth"] = 0.8;
    style["legend.frameon"] = false;
    plt.attr("rcParams").attr("update")(style);
    return py::none();
}

}  // namespace

KVELO_MODULE(figdefaults, m) {
    def(m, {.name = "set_kvelo_plot_style",
            .params = {},
            .impl = set_kvelo_plot_style,
            .doc = "set_kvelo_plot_style()\n\n"
                   "Write the shared plot style into matplotlib's rcParams: figure.dpi 150,\n"
                   "savefig.dpi 300, font sizes 12 (axes titles 14, legend and ticks 10), white\n"
                   "figures, black axes edges 0.8 wide, legends without a frame. Figures saved\n"
                   "without their own dpi (bias maps, scatter plots, replots) take the 300 dpi\n"
                   "from here. Returns None."});
}
