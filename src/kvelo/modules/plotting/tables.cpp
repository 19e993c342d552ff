// Processed model tables: every experiment's matched model table written
// again, unchanged, as CSV or as NetCDF over `time`.
#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/plotting/plotting.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::plotting {

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

const char* const kName = "process_time_series";

py::object process_time_series(const Call& c) {
    const py::object& save_data_format = c.arg("save_data_format");
    const py::object& debug = c.arg("debug");
    start_banner(c, debug, kName);
    bool loaded = for_each_model_table(
        c, "No matched obs data for", [&](py::handle exp, py::handle, py::object mod) {
            py::str output_mod_file =
                fmt("{}_{}_{}_{}_{}_mod.{}", c.arg("output_base"), c.arg("region"), c.arg("var"),
                    c.arg("time_avg"), exp, save_data_format);
            // Only the exact word "csv" is CSV; the word is also the extension.
            if (equals(save_data_format, py::str("csv"))) {
                mod.attr("to_csv")(output_mod_file, "index"_a = false);
            } else {
                mod.attr("set_index")("time").attr("to_xarray")().attr("to_netcdf")(
                    output_mod_file);
            }
            if (truthy(debug)) log_debug(c, fmt("Saved processed model data: {}", output_mod_file));
        });
    if (!loaded) return py::none();
    end_banner(c, debug, kName);
    return py::none();
}

}  // namespace

FunctionSpec spec_process_time_series() {
    return {.name = kName,
            .params = {"matched_obs_file",
                       "matched_model_files",
                       "region",
                       "var",
                       "time_avg",
                       "output_base",
                       {"save_data_format", py::str("csv")},
                       {"debug", py::bool_(false)}},
            .impl = process_time_series,
            .doc =
                "process_time_series(matched_obs_file, matched_model_files, region, var, "
                "time_avg, output_base, save_data_format=\"csv\", debug=False)\n"
                "\n"
                "Write each experiment's matched model table again, unchanged, as\n"
                "<output_base>_<region>_<var>_<time_avg>_<exp>_mod.<save_data_format>:\n"
                "CSV when the word is exactly \"csv\", else NetCDF indexed by time.\n"
                "matched_model_files maps experiment names to matched files (.csv or\n"
                ".nc); the observation file is only checked. An observation file that\n"
                "does not load logs \"No matched obs data for <var> <region>\" and\n"
                "writes nothing; a model file that does not load is skipped. Saved\n"
                "paths are logged only with debug. Returns None."};
}

}  // namespace kvelo::plotting
