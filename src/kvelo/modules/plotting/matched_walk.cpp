#include <pybind11/pybind11.h>

#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/plotting/plotting.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::plotting {

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

py::object load(const Call& c, py::handle path) {
    return c.g("load_matched_data")(path, "debug"_a = c.arg("debug"));
}

}  // namespace

bool for_each_model_table(const Call& c, const char* warning, const TablesFn& visit) {
    py::object obs = load(c, c.arg("matched_obs_file"));
    if (obs.is_none()) {
        log_warning(c, fmt("{} {} {}", warning, c.arg("var"), c.arg("region")));
        return false;
    }
    for (py::handle item : c.arg("matched_model_files").attr("items")()) {
        // `for exp, file_path in ...items()`: each item unpacks into exactly
        // two, copied out before the loader runs.
        std::vector<py::object> pair = unpack(item, 2);
        py::object exp = pair[0], file_path = pair[1];
        py::object mod = load(c, file_path);
        if (mod.is_none()) continue;
        visit(exp, obs, std::move(mod));
    }
    return true;
}

py::object merge_matched(const Call& c, py::handle obs, py::handle mod) {
    py::list keys;
    keys.append("station_id");
    keys.append("time");
    return c.g("pd").attr("merge")(obs, mod, "on"_a = keys,
                                   "suffixes"_a = py::make_tuple("_obs", "_mod"));
}

py::str matched_figure_stem(const Call& c, const char* kind, py::handle exp) {
    return fmt("{}_{}_{}_{}_{}_{}", c.arg("output_base"), c.arg("region"), c.arg("var"),
               c.arg("time_avg"), kind, exp);
}

}  // namespace kvelo::plotting
