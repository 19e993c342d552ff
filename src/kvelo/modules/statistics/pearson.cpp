// Pearson variants: a calendar-month shift on time-indexed series, and the
// coefficient computed by hand from value sequences (with a shift by
// positions, or with its intermediate values printed).  Small inputs; the
// arithmetic stays with numpy so the numbers are numpy's.
#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/modules/statistics/statistics.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::statistics {

using namespace kvelo::binding;
using namespace kvelo::shared;

namespace {

// The pairs where both values are numbers.
std::pair<py::object, py::object> valid_pairs(const Call& c) {
    py::object np = c.g("np");
    py::object obs = np.attr("array")(c.arg("obs_vals"));
    py::object mod = np.attr("array")(c.arg("mod_vals"));
    // Left to right, as the interpreter evaluates the expression: of two
    // inputs that numpy cannot test, the model values' error is the one raised.
    py::object mod_ok = ~np.attr("isnan")(mod);
    py::object mask = mod_ok & (~np.attr("isnan")(obs));
    return {obs[mask], mod[mask]};
}

struct HandR {
    py::object obs_mean, mod_mean, numerator, denominator, r;  // r None: zero denominator
};

HandR hand_coefficient(const Call& c, const py::object& obs, const py::object& mod) {
    py::object np = c.g("np");
    HandR h;
    h.obs_mean = np.attr("mean")(obs);
    h.mod_mean = np.attr("mean")(mod);
    py::object dx = obs - h.obs_mean;
    py::object dy = mod - h.mod_mean;
    h.numerator = np.attr("sum")(dx * dy);
    py::object den_x = np.attr("sqrt")(np.attr("sum")(dx * dx));
    py::object den_y = np.attr("sqrt")(np.attr("sum")(dy * dy));
    h.denominator = den_x * den_y;
    h.r = equals(h.denominator, py::int_(0)) ? py::none() : h.numerator / h.denominator;
    return h;
}

py::object compute_pearson_r_with_shift(const Call& c) {
    py::object pd = c.g("pd");
    const py::object& obs_series = c.arg("obs_series");
    const py::object& shift = c.arg("shift");
    py::object shifted = obs_series;
    if (holds(shift, py::int_(0), Py_NE)) {
        shifted = obs_series.attr("copy")();
        py::object offset = pd.attr("DateOffset")(py::arg("months") = shift);
        py::object index = shifted.attr("index");
        shifted.attr("index") = index + offset;
    }
    py::object merged = pd.attr("merge")(shifted, c.arg("mod_series"), py::arg("left_index") = true,
                                         py::arg("right_index") = true, py::arg("how") = "inner");
    if (py::len(merged) < 2) return nan();
    py::object iloc = merged.attr("iloc");
    py::object all = slice(py::none(), py::none());
    return c.g("compute_pearson_r")(iloc[py::make_tuple(all, 0)], iloc[py::make_tuple(all, 1)]);
}

py::object compute_pearson_r_with_shift2(const Call& c) {
    auto [obs, mod] = valid_pairs(c);
    if (py::len(obs) <= 2) return nan();
    const py::object& shift = c.arg("shift");
    py::object zero = py::int_(0);
    if (holds(shift, zero, Py_GT)) {
        obs = obs[slice(py::none(), -shift)];
        mod = mod[slice(shift, py::none())];
    } else if (holds(shift, zero, Py_LT)) {
        obs = obs[slice(-shift, py::none())];
        mod = mod[slice(py::none(), shift)];
    }
    HandR h = hand_coefficient(c, obs, mod);
    return h.r.is_none() ? nan() : h.r;
}

py::object compute_pearson_r2(const Call& c) {
    auto [obs, mod] = valid_pairs(c);
    if (py::len(obs) <= 2) return nan();
    HandR h = hand_coefficient(c, obs, mod);
    if (h.r.is_none()) return nan();
    py::object np = c.g("np");
    // The model factor is -mod - mean(mod), as the diagnostic has always printed it.
    py::object flipped = np.attr("sum")((obs - h.obs_mean) * (-mod - h.mod_mean)) / h.denominator;
    print_out(c, fmt("Mean(obs)={}, Mean(mod)={}", h.obs_mean, h.mod_mean));
    print_out(c, fmt("Numerator={}, Denominator={}", h.numerator, h.denominator));
    print_out(c, fmt("Pearson R={}", h.r));
    print_out(c, fmt("Flipped Pearson R={}", flipped));
    return h.r;
}

}  // namespace

FunctionSpec spec_compute_pearson_r_with_shift() {
    return {.name = "compute_pearson_r_with_shift",
            .params = {"obs_series", "mod_series", {"shift", py::int_(0)}},
            .impl = compute_pearson_r_with_shift,
            .doc =
                "compute_pearson_r_with_shift(obs_series, mod_series, shift=0)\n\n"
                "Pearson R of observations moved by shift calendar months (their time index\n"
                "plus pd.DateOffset(months=shift)) and the model series, joined on time;\n"
                "NaN when fewer than 2 times meet. NaN values are not removed."};
}

FunctionSpec spec_compute_pearson_r_with_shift2() {
    return {.name = "compute_pearson_r_with_shift2",
            .params = {"obs_vals", "mod_vals", {"shift", py::int_(0)}},
            .impl = compute_pearson_r_with_shift2,
            .doc =
                "compute_pearson_r_with_shift2(obs_vals, mod_vals, shift=0)\n\n"
                "Pearson R computed by hand after dropping every position where either value\n"
                "is NaN, then pairing each observation with the model value shift valid\n"
                "pairs later (earlier for a negative shift). NaN for 2 valid pairs or fewer\n"
                "and for a zero spread."};
}

FunctionSpec spec_compute_pearson_r2() {
    return {.name = "compute_pearson_r2",
            .params = {"obs_vals", "mod_vals"},
            .impl = compute_pearson_r2,
            .doc =
                "compute_pearson_r2(obs_vals, mod_vals)\n\n"
                "Pearson R of the pairs where both values are numbers, computed by hand;\n"
                "prints the means, the numerator and denominator, R and a 'flipped' R to\n"
                "standard output. NaN (nothing printed) for 2 valid pairs or fewer or a\n"
                "zero spread. Returns R."};
}

}  // namespace kvelo::statistics
