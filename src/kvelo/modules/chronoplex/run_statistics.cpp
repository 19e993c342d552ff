// Statistics of a collocated run, written beside the station table: the
// regional table with its bar charts, or one table per station.
#include <string>
#include <utility>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

const char* const kHelperDoc =
    "Helper to compute and save statistics for collocated time series.\n\n"
    "Assumes data_file_base ends with '.csv' and data is a station-wise dictionary.";

// The table's path without its extension, as os.path.splitext cuts it.
py::object base_path(const Call& c, py::handle data_file_base) {
    py::tuple parts = c.g("os").attr("path").attr("splitext")(data_file_base);
    return parts[0];
}

void save_table(const Call& c, py::handle table, py::handle path) {
    table.attr("to_csv")(path, "index"_a = false);
    log_info(c, fmt("Saved station statistics to: {}", path));
}

py::object extend_process_time_series_with_stats(const Call& c) {
    const char* name = "extend_process_time_series_with_stats";
    const auto [variable, debug, formats] = c.args("variable", "debug", "save_plot_formats");
    start_banner(c, debug, name);
    if (!truthy(c.arg("use_collocation"))) return py::none();

    py::object stats_df =
        c.g("compute_regional_statistics")("data"_a = c.arg("data"), "variable"_a = variable,
                                           "tavg"_a = c.arg("tavg"), "debug"_a = debug);
    if (truthy(stats_df.attr("empty"))) {
        log_warning(c, py::str("No statistics were computed."));
        return py::none();
    }
    py::object base = base_path(c, c.arg("data_file_base"));
    py::str stats_file = fmt("{}_stats.csv", base);
    save_table(c, stats_df, stats_file);
    // The charts' own splitext cuts this name back at "_stats_plot.".
    c.g("plot_statistics")("stats_file"_a = stats_file,
                           "output_file"_a = fmt("{}_stats_plot.{}", base, formats),
                           "save_plot_formats"_a = formats, "debug"_a = debug);
    end_banner(c, debug, name);
    return py::none();
}

py::object extend_process_time_series_with_stats2(const Call& c) {
    const char* name = "extend_process_time_series_with_stats2";
    const py::object& variable = c.arg("variable");
    const py::object& debug = c.arg("debug");
    start_banner(c, debug, name);
    if (!truthy(c.arg("use_collocation"))) return py::none();

    py::object pd = c.g("pd");
    py::object nan = c.g("np").attr("nan");
    py::str prefix = fmt("{}_", variable);
    py::str obs_key = fmt("{}_obs", variable);
    const size_t cut = py::len(prefix);
    py::list tables;
    for (py::handle item : c.arg("data").attr("items")()) {
        py::object sid = item[py::int_(0)];
        py::object sd = item[py::int_(1)];
        py::object time = pd.attr("to_datetime")(sd["time"]);
        py::dict first;
        first["time"] = time;
        py::object frame = pd.attr("DataFrame")(first);

        py::list experiments;
        for (py::handle key : sd) {
            if (truthy(key.attr("startswith")(prefix)) && holds(key, obs_key, Py_NE)) {
                experiments.append(key[py::slice(static_cast<py::ssize_t>(cut), {}, {})]);
            }
        }
        py::list keys;
        keys.append(obs_key);
        for (py::handle exp : experiments) keys.append(fmt("{}{}", prefix, exp));
        for (py::handle key : keys) {
            py::object column;
            if (contains(sd, key)) {
                column = get(sd, key);
            } else {
                py::list filled;
                for (size_t i = 0; i < py::len(time); ++i) filled.append(nan);
                column = filled;
            }
            frame[key] = column;
        }

        py::object times = frame["time"];
        py::dict meta;
        meta["SID"] = sid;
        meta["NAME"] = get(sd, "site_name", sid);
        meta["LAT"] = get(sd, "lat", nan);
        meta["LON"] = get(sd, "lon", nan);
        meta["ELE"] = get(sd, "elevation_m", nan);
        meta["SDATE"] = times.attr("min")().attr("strftime")("%Y-%m-%d");
        meta["EDATE"] = times.attr("max")().attr("strftime")("%Y-%m-%d");

        tables.append(c.g("compute_statistics_from_collocated_df")(
            "df"_a = frame, "station_metadata"_a = meta, "variable"_a = variable,
            "experiments"_a = experiments, "tavg"_a = c.arg("tavg"), "debug"_a = debug));
    }
    if (py::len(tables) > 0) {
        py::object all = pd.attr("concat")(tables, "axis"_a = 0);
        save_table(c, all, fmt("{}_stats.csv", base_path(c, c.arg("data_file_base"))));
    }
    end_banner(c, debug, name);
    return py::none();
}

FunctionSpec statistics_spec(const char* name, std::vector<Param> params, Impl impl) {
    std::string doc = signature_line(name, params) + "\n\n" + kHelperDoc;
    return {.name = name, .params = std::move(params), .impl = std::move(impl), .doc = doc};
}

}  // namespace

FunctionSpec spec_extend_process_time_series_with_stats() {
    return statistics_spec("extend_process_time_series_with_stats",
                           {"data_file_base", "variable", "tavg", "debug", "use_collocation",
                            "save_plot_formats", "data"},
                           extend_process_time_series_with_stats);
}

FunctionSpec spec_extend_process_time_series_with_stats2() {
    return statistics_spec(
        "extend_process_time_series_with_stats2",
        {"data_file_base", "variable", "tavg", "debug", "use_collocation", "data"},
        extend_process_time_series_with_stats2);
}

}  // namespace kvelo::chronoplex
