// The statistics bar charts drawn from a saved statistics file, and the
// one-row statistics file.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/statistics/statistics.hpp"
#include "kvelo/shared/figures.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::statistics {

using namespace kvelo::binding;
using namespace kvelo::shared;

namespace {

const char* const kRequired[] = {"Experiment", "R",   "R2",  "RMSE",    "MB",     "Bias", "STD_dev",
                                 "Mean",       "Min", "Max", "Average", "Median", "Count"};

struct Group {
    const char* name;
    std::vector<const char*> columns;
};

const std::vector<Group>& groups() {
    static const std::vector<Group> g = {
        {"Correlation Metrics", {"R", "R2"}},
        {"Error Metrics", {"RMSE", "MB", "Bias", "STD_dev"}},
        {"Descriptive Statistics", {"Average", "Median", "Mean", "Min", "Max"}},
    };
    return g;
}

std::string file_piece(std::string name) {
    for (char& ch : name) {
        if (ch == ' ') ch = '_';
    }
    return name;
}

// One count label at the foot of each cluster.
void draw_counts(const Call& c, const py::object& fig, const py::object& df) {
    py::object counts = df.attr("set_index")("Experiment")[py::str("Count")].attr("to_dict")();
    py::object ax = fig.attr("gca")();
    long i = 0;
    for (py::handle exp : df[py::str("Experiment")]) {
        py::object text = c.g("str")(c.g("int")(get(counts, exp, py::int_(0))));
        ax.attr("text")(i, ax.attr("get_ylim")()[py::int_(0)], text, py::arg("ha") = "center",
                        py::arg("fontsize") = 10, py::arg("color") = "black",
                        py::arg("rotation") = 0);
        ++i;
    }
}

py::object plot_statistics(const Call& c) {
    const char* name = "plot_statistics";
    const auto [stats_file, output_file, debug] = c.args("stats_file", "output_file", "debug");
    start_banner(c, debug, name);
    py::object os = c.g("os");
    if (!truthy(os.attr("path").attr("exists")(stats_file))) {
        log_warning(c, fmt("File {} not found. Skipping statistics plot...", stats_file));
        return py::none();
    }
    py::object df = c.g("pd").attr("read_csv")(stats_file);
    py::list missing;
    py::object columns = df.attr("columns");
    for (const char* col : kRequired) {
        if (!contains(columns, py::str(col))) missing.append(col);
    }
    if (py::len(missing) > 0) {
        log_warning(c, fmt("Missing columns in stats file: {}. Skipping statistics plot...",
                           py::repr(missing)));
        return py::none();
    }
    for (const Group& g : groups()) {
        py::object plt = c.g("plt");
        py::tuple figsize = py::make_tuple(12, 6);
        py::object fig = plt.attr("figure")(py::arg("figsize") = figsize);
        FigureGuard guard(plt, fig);
        py::list ycols;
        for (const char* col : g.columns) ycols.append(col);
        df.attr("plot")(py::arg("kind") = "bar", py::arg("x") = "Experiment", py::arg("y") = ycols,
                        py::arg("ax") = fig.attr("gca")(), py::arg("rot") = 45,
                        py::arg("legend") = true);
        plt.attr("title")(fmt("{} across Model Experiments", g.name));
        plt.attr("ylabel")("Value");
        plt.attr("xlabel")("Model Experiment");
        plt.attr("grid")(py::arg("axis") = "y", py::arg("linestyle") = "--",
                         py::arg("alpha") = 0.7);
        if (std::string(g.name) == "Descriptive Statistics") draw_counts(c, fig, df);
        py::object base = os.attr("path").attr("splitext")(output_file)[py::int_(0)];
        save_each_format_300_tight(c, fig.attr("savefig"), fmt("{}_{}", base, file_piece(g.name)),
                                   c.arg("save_plot_formats"));
        guard.close();
    }
    end_banner(c, debug, name);
    return py::none();
}

py::object save_stats(const Call& c) {
    const py::object& stats = c.arg("stats");
    py::dict inner;
    for (const char* key : {"R", "R_squared", "RMSE", "MB", "Bias", "STD_dev"}) {
        inner[key] = stats[py::str(key)];
    }
    py::dict stats_df;
    stats_df["dateTime"] = inner;
    py::object df = c.g("pd").attr("DataFrame")(stats_df).attr("T");
    py::object path = c.arg("output_csv").attr("replace")(".csv", "_stats.csv");
    df.attr("to_csv")(path);
    print_out(c, fmt("Statistics saved to {}", path));
    return py::none();
}

}  // namespace

FunctionSpec spec_plot_statistics() {
    return {.name = "plot_statistics",
            .params = {"stats_file", "output_file", "save_plot_formats", "debug"},
            .impl = plot_statistics,
            .doc =
                "plot_statistics(stats_file, output_file, save_plot_formats, debug)\n\n"
                "Draw a statistics file (CSV) as three bar charts, one cluster per row:\n"
                "Correlation Metrics (R, R2), Error Metrics (RMSE, MB, Bias, STD_dev) and\n"
                "Descriptive Statistics (Average, Median, Mean, Min, Max, with each row's\n"
                "Count below it). Writes <base>_Correlation_Metrics.<fmt>, ..._Error_Metrics\n"
                "and ..._Descriptive_Statistics for each format word, base being output_file\n"
                "without its extension, at 300 dpi; logs 'Saved: <path>'. A missing file or\n"
                "missing columns log a warning and draw nothing. Returns None."};
}

FunctionSpec spec_save_stats() {
    return {.name = "save_stats",
            .params = {"stats", "output_csv"},
            .impl = save_stats,
            .doc =
                "save_stats(stats, output_csv)\n\n"
                "Write stats['R'], ['R_squared'], ['RMSE'], ['MB'], ['Bias'] and ['STD_dev']\n"
                "as a one-row CSV (row label 'dateTime') to output_csv with every '.csv'\n"
                "replaced by '_stats.csv' (a name without '.csv' is used as it is), and\n"
                "print 'Statistics saved to <path>'. Returns None."};
}

}  // namespace kvelo::statistics
