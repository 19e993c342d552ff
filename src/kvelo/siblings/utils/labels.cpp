// Which stations of a map get a number label.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "kvelo/core/label_spread.hpp"
#include "kvelo/glue/pyutil.hpp"
#include "kvelo/siblings/utils/utils.hpp"

namespace kvelo::utils {

namespace {

std::vector<double> column_values(py::handle df, const char* name) {
    auto arr = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        df[py::str(name)].attr("to_numpy")(py::arg("dtype") = "float64",
                                           py::arg("na_value") = NAN));
    if (!arr) throw py::error_already_set();
    // A label that names two columns gives a table, whose values would be
    // read as positions of other stations.
    if (arr.ndim() != 1) {
        throw py::value_error(std::string("The column label '") + name + "' is not unique.");
    }
    return std::vector<double>(arr.data(), arr.data() + arr.size());
}

py::object select_label_stations_by_density(const glue::Call& c) {
    py::object station_df = c[0];
    const double density = py::float_(c[1]).cast<double>();
    const long min_labels = py::int_(c[2]).cast<long>();
    const long max_labels = py::int_(c[3]).cast<long>();
    const long n = static_cast<long>(py::len(station_df));

    // density is the share of stations labelled, kept within
    // [min_labels, max_labels] and never above the number of stations.  The
    // share is clamped to [0, 1] before rounding: a huge density would
    // overflow the rounding, and more than every station cannot be labelled.
    const double share = std::isnan(density) ? 0.0 : std::clamp(density, 0.0, 1.0);
    long count = std::lround(share * static_cast<double>(n));
    count = std::max(count, min_labels);
    count = std::min(count, max_labels);
    count = std::clamp(count, 0L, n);

    std::vector<size_t> picked;
    if (count > 0) {
        picked =
            core::spread_positions(column_values(station_df, "lon"),
                                   column_values(station_df, "lat"), static_cast<size_t>(count));
    }
    py::list positions;
    for (size_t p : picked) positions.append(p);
    // iloc keeps the rows' own index labels, which the map shows plus one.
    return station_df.attr("iloc")[positions];
}

}  // namespace

void add_labels(py::module_& m) {
    glue::def(m, {.name = "select_label_stations_by_density",
                  .params = {"station_df",
                             {"density", py::float_(0.4)},
                             {"min_labels", py::int_(1)},
                             {"max_labels", py::int_(100)}},
                  .impl = select_label_stations_by_density,
                  .doc = "select_label_stations_by_density(station_df, density=0.4, "
                         "min_labels=1, max_labels=100)\n\nThe rows of station_df to label: "
                         "about density x the stations (at least min_labels, at most "
                         "max_labels), spread over the map; rows keep their index labels."});
}

}  // namespace kvelo::utils
