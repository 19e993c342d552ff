// Replots of saved tables: the one road that the bias map and the scatter plot
// drawn again from a file share.  The function's name goes into its banners,
// `kind` into its printed error line and its "Saved ..." lines, `tag` into the
// file stem "<output_base>_region_<var>_time_avg_<tag>_exp", whose words
// "region", "time_avg" and "exp" are fixed: a saved table carries no region,
// averaging or experiment of its own.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

#include "kvelo/binding/function.hpp"

namespace kvelo::shared {

namespace py = pybind11;
using binding::Call;
using binding::FunctionSpec;

// The saved table and the units of the variables of a NetCDF file (empty for CSV).
struct SavedTable {
    py::object table;
    py::dict units;
};

struct ReplotForm {
    const char* name;        // the entry point's name
    const char* file_param;  // the name of its first parameter, the table's path
    const char* kind;        // "bias", "scatter"
    const char* tag;         // "BIAS", "SCATTER"
    const char* title;       // the title, "{}" standing for the variable
    double width;            // figure size, inches
    double height;
    const char* summary;  // the help text after the signature line
};

// Draws everything below the title onto the new current figure.
using ReplotDraw = std::function<void(const Call& c, const SavedTable& saved)>;

// The body of a replot module: the base and drawing libraries, datetime,
// make_axes_locatable, read_data and save_data of kvelo.py.io, in this order,
// then its one function: <name>(<file_param>, var, output_base,
// save_formats=["png", "pdf"]) (one list, made now), whose help text is the
// signature line, a blank line and the form's summary.  A call: Start line;
// the table read by its case-sensitive ending ".csv" or ".nc", else the
// printed line "[ERROR] Could not load <kind> file: <path>" and a return; a
// new figure held by a guard through drawing, the title, tight layout and one
// file per format word; the figure closed; End line.  Reading errors
// propagate.
void load_replot_module(py::module_& m, const ReplotForm& form, ReplotDraw draw);

}  // namespace kvelo::shared
