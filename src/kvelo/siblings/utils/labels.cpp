// Which stations of a map get a number label.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "kvelo/binding/errors.hpp"
#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/core/label_spread.hpp"
#include "kvelo/siblings/utils/utils.hpp"

namespace kvelo::utils {

namespace {

using namespace pybind11::literals;

std::vector<double> column_values(py::handle df, const char* name) {
    // numpy converts (and raises its own error); the C++ side only reads a
    // contiguous float64 array, whatever the column held.
    py::array_t<double, py::array::c_style | py::array::forcecast> doubles(
        df[py::str(name)].attr("to_numpy")("dtype"_a = "float64", "na_value"_a = NAN));
    // A label that names two columns gives a table, whose values would be
    // read as positions of other stations.
    if (doubles.ndim() != 1) {
        binding::raise(PyExc_ValueError,
                       binding::fmt("The column label '{}' is not unique.", name));
    }
    return std::vector<double>(doubles.data(), doubles.data() + doubles.size());
}

// max(a, b) and min(a, b) as the builtins pick: the first unless the second
// is strictly beyond it.
py::object py_max(py::handle a, py::handle b) {
    return py::reinterpret_borrow<py::object>(binding::holds(b, a, Py_GT) ? b : a);
}
py::object py_min(py::handle a, py::handle b) {
    return py::reinterpret_borrow<py::object>(binding::holds(a, b, Py_GT) ? b : a);
}

py::object select_label_stations_by_density(const binding::Call& c) {
    const py::object& station_df = c.arg("station_df");
    const size_t n_rows = py::len(station_df);
    py::int_ n(n_rows);

    // density is the share of stations labelled, kept within
    // [min_labels, max_labels] and never above the number of stations.  The
    // share is clamped to [0, 1] before rounding (with Python's comparisons,
    // so a huge int is just large): a huge density would overflow the
    // rounding, and more than every station cannot be labelled.  A NaN share
    // labels none but the minimum.
    py::int_ zero(0), one(1);
    double share = binding::as_double(py_min(py_max(c.arg("density"), zero), one));
    if (std::isnan(share)) share = 0.0;
    // round(): half to even, as Python rounds.
    py::object count =
        py::int_(static_cast<long long>(std::nearbyint(share * static_cast<double>(n_rows))));
    // The bounds take part as Python would compare them; whatever wins must
    // then be an integer count.
    count = py_max(count, c.arg("min_labels"));
    count = py_min(count, c.arg("max_labels"));
    count = py_max(zero, py_min(count, n));
    const long long k =
        std::clamp(binding::index_saturated(count), 0LL, static_cast<long long>(n_rows));

    std::vector<size_t> picked;
    if (k > 0) {
        picked = core::spread_positions(column_values(station_df, "lon"),
                                        column_values(station_df, "lat"), static_cast<size_t>(k));
    }
    py::list positions;
    for (size_t p : picked) positions.append(p);
    // iloc keeps the rows' own index labels, which the map shows plus one.
    return station_df.attr("iloc")[positions];
}

}  // namespace

void add_labels(py::module_& m) {
    binding::def(m, {.name = "select_label_stations_by_density",
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
