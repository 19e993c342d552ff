// The statistics table of a collocated frame, its observation row, and
// compute_pearson_r.
//
// Float64 columns are read natively: one pass gathers the complete rows of an
// experiment into a new contiguous array, in row order, which is what the
// table formulation's selection, dropna and copy give; the statistics are then
// numpy's and scipy's own calls on that array, so every value carries the
// libraries' bits, warnings and errors.  Everything else (other column types,
// a replaced module function or library) takes the formulation on the table.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "kvelo/binding/errors.hpp"
#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/core/stamps.hpp"
#include "kvelo/core/stats.hpp"
#include "kvelo/modules/statistics/statistics.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::statistics {

using namespace kvelo::binding;
using namespace kvelo::shared;
namespace cs = kvelo::core::stats;

namespace {

const char* const kStatNames[] = {"R",    "R2",  "RMSE", "MB",      "Bias",  "STD_dev",
                                  "Mean", "Min", "Max",  "Average", "Median"};
const char* const kMetaFirst[] = {"SID", "NAME", "LAT", "LON", "ELE"};

// The row fields that follow the statistics: metadata, variable, dates, label.
void add_metadata(py::dict& row, const TableArgs& a) {
    for (const char* key : kMetaFirst) row[key] = get(a.station_metadata, key);
    row["Variable"] = a.variable;
    row["SDATE"] = get(a.station_metadata, "SDATE");
    row["EDATE"] = get(a.station_metadata, "EDATE");
    row["plAVG"] = a.tavg;
}

py::dict short_row(py::handle exp, std::size_t n, const TableArgs& a) {
    py::dict row;
    row["Experiment"] = exp;
    row["Count"] = py::int_(n);
    for (const char* key : kStatNames) row[key] = nan();
    add_metadata(row, a);
    return row;
}

// values: R, R2, RMSE, MB, Bias, STD_dev, Mean, Min, Max, Average, Median.
py::dict full_row(py::handle exp, const py::object (&values)[11], py::object count,
                  const TableArgs& a) {
    py::dict row;
    row["Experiment"] = exp;
    for (int i = 0; i < 11; ++i) row[kStatNames[i]] = values[i];
    row["Count"] = std::move(count);
    add_metadata(row, a);
    return row;
}

py::object r_squared(const Call& c, const py::object& r) {
    if (truthy(c.g("np").attr("isnan")(r))) return nan();
    return power(r, py::int_(2));
}

// Long arrays: gathers run without the interpreter lock (short ones are not
// worth the hand-over), and medians are left to numpy's faster selection
// (on short ones its call costs more than the work).
constexpr std::size_t kLongRows = 1 << 16;

// A value of the native order statistics where it is the one numpy gives,
// else numpy's; either way numpy's scalar type, which a table column of
// mixed kinds keeps as it is.
template <typename F>
py::object exact_or(const Call& c, double value, bool exact, F&& library) {
    return exact ? c.g("np").attr("float64")(value) : library();
}

// The buffers of arrays gathered here: n contiguous values, no NaN.
struct Gathered {
    const double* values = nullptr;
    double* scratch = nullptr;  // n values free to overwrite
    std::size_t n = 0;
};

// np.min, np.max and np.median of x, natively when `g` holds x's values: a
// nonzero extreme is the one value of its bits, and a median whose sum and
// result are normal numbers depends only on the middle values.
struct OrderStatistics {
    const Call& c;
    const py::object& x;
    const Gathered* g;

    py::object min() const {
        if (g == nullptr) return c.g("np").attr("min")(x);
        const double v = cs::min_value(g->values, g->n);
        return exact_or(c, v, v != 0.0, [&] { return c.g("np").attr("min")(x); });
    }
    py::object max() const {
        if (g == nullptr) return c.g("np").attr("max")(x);
        const double v = cs::max_value(g->values, g->n);
        return exact_or(c, v, v != 0.0, [&] { return c.g("np").attr("max")(x); });
    }
    py::object median() const {
        if (g == nullptr || g->n >= kLongRows) return c.g("np").attr("median")(x);
        std::copy(g->values, g->values + g->n, g->scratch);
        bool exact = false;
        const double v = cs::median_inplace(g->scratch, g->n, exact);
        return exact_or(c, v, exact, [&] { return c.g("np").attr("median")(x); });
    }
};

// The formulation of a full row, on arrays o and m, term by term (the
// repeated differences included, so that warnings come as often as there).
// `own`: m's buffer, when m was gathered here.
py::dict numpy_row(const Call& c, py::handle exp, const py::object& o, const py::object& m,
                   const TableArgs& a, const Gathered* own = nullptr) {
    py::object r = c.g("compute_pearson_r")(o, m);
    py::object r2 = r_squared(c, r);
    py::object np = c.g("np");
    py::object mean = np.attr("mean");
    const OrderStatistics order{c, m, own};
    py::object values[11] = {
        r,
        r2,
        np.attr("sqrt")(mean(power(m - o, py::int_(2)))),
        mean(m - o),
        mean(o - m),
        np.attr("std")(o - m),
        mean(m),
        order.min(),
        order.max(),
        mean(m),
        order.median(),
    };
    return full_row(exp, values, py::int_(py::len(m)), a);
}

void debug_count(const Call& c, const TableArgs& a, py::handle exp, std::size_t n) {
    if (truthy(a.debug)) log_debug(c, fmt("{}: After dropna: {} rows", exp, n));
}

py::list time_and(const py::object& col) {
    py::list selection;
    selection.append("time");
    selection.append(col);
    return selection;
}

// The library formulation of one experiment on a pandas table.
py::dict library_row(const Call& c, const py::object& df, py::handle exp, const py::object& obs_col,
                     const py::object& mod_col, const TableArgs& a) {
    py::list selection = time_and(obs_col);
    selection.append(mod_col);
    py::object paired = df[selection].attr("dropna")().attr("copy")();
    const std::size_t n = py::len(paired);
    debug_count(c, a, exp, n);
    if (n <= 2) return short_row(exp, n, a);
    return numpy_row(c, exp, paired[obs_col].attr("values"), paired[mod_col].attr("values"), a);
}

template <typename F>
auto maybe_without_gil(std::size_t rows, F&& f) {
    if (rows < kLongRows) return f();
    py::gil_scoped_release nogil;
    return f();
}

// The complete rows of two columns as a new (2, n) array, observation values
// first: the layout the library's copy of the two selected float columns has.
// nullopt when the columns changed while the array was allocated.
std::optional<py::array_t<double>> gather_pair_array(RowFlags ok, const Column& oc,
                                                     const Column& mc, std::size_t n) {
    py::array_t<double> out({py::ssize_t{2}, static_cast<py::ssize_t>(n)});
    double* o = out.mutable_data(0, 0);
    double* m = out.mutable_data(1, 0);
    const std::size_t got = maybe_without_gil(
        ok.n, [&] { return cs::gather_pairs(ok.data, oc.view, mc.view, o, m, n); });
    if (got != n) return std::nullopt;
    return out;
}

py::dict experiment_row(const Call& c, Frame& f, py::handle exp, const py::object& obs_col,
                        const py::object& mod_col, const TableArgs& a) {
    py::list selection = time_and(obs_col);
    selection.append(mod_col);
    const std::optional<RowFlags> ok = f.time_ok(selection);
    std::optional<Column> oc, mc;
    if (ok) oc = f.numeric(obs_col);
    if (oc) mc = f.numeric(mod_col);
    // Columns of one table have one length; anything else is not read here.
    const bool native = mc && oc->view.n == ok->n && mc->view.n == ok->n;
    if (!native) return library_row(c, f.table(), exp, obs_col, mod_col, a);

    const std::size_t n =
        maybe_without_gil(ok->n, [&] { return cs::count_pairs(ok->data, oc->view, mc->view); });
    debug_count(c, a, exp, n);
    if (n <= 2) return short_row(exp, n, a);
    std::optional<py::array_t<double>> pairs = gather_pair_array(*ok, *oc, *mc, n);
    if (!pairs) return library_row(c, f.table(), exp, obs_col, mod_col, a);
    // The observation values are read by no later term: their row is the
    // median's scratch, unless a replaced correlation function may keep them.
    const Gathered own{pairs->data(1, 0), pairs->mutable_data(0, 0), n};
    return numpy_row(c, exp, (*pairs)[py::int_(0)], (*pairs)[py::int_(1)], a,
                     native_pearson(c) ? &own : nullptr);
}

py::dict observation_row(py::object values[6], py::object count, const TableArgs& a) {
    py::dict row;
    row["Experiment"] = "obs";
    for (const char* key : {"R", "R2", "RMSE", "MB", "Bias"}) row[key] = nan();
    const char* keys[] = {"STD_dev", "Mean", "Min", "Max", "Average", "Median"};
    for (int i = 0; i < 6; ++i) row[keys[i]] = values[i];
    row["Count"] = std::move(count);
    add_metadata(row, a);
    return row;
}

py::dict numpy_observation_row(const Call& c, const py::object& o, const TableArgs& a,
                               const Gathered* own = nullptr) {
    py::object np = c.g("np");
    const OrderStatistics order{c, o, own};
    py::object values[6] = {np.attr("std")(o), np.attr("mean")(o), order.min(),
                            order.max(),       np.attr("mean")(o), order.median()};
    return observation_row(values, py::int_(py::len(o)), a);
}

py::object library_observation_row(const Call& c, Frame& f, const py::list& selection,
                                   const py::object& obs_col, const TableArgs& a) {
    py::object vals = f.table()[selection].attr("dropna")().attr("copy")();
    if (py::len(vals) < 1) return py::none();
    return numpy_observation_row(c, vals[obs_col].attr("values"), a);
}

// The observation row, or None when the frame holds no observation value.
py::object obs_entry(const Call& c, Frame& f, const py::object& obs_col, const TableArgs& a) {
    py::list selection = time_and(obs_col);
    const std::optional<RowFlags> ok = f.time_ok(selection);
    std::optional<Column> oc;
    if (ok) oc = f.numeric(obs_col);
    if (!oc || oc->view.n != ok->n) return library_observation_row(c, f, selection, obs_col, a);
    const std::size_t n =
        maybe_without_gil(ok->n, [&] { return cs::count_values(ok->data, oc->view); });
    if (n < 1) return py::none();
    // The values in row 0, the median's scratch in row 1.
    py::array_t<double> buf({py::ssize_t{2}, static_cast<py::ssize_t>(n)});
    double* out = buf.mutable_data(0, 0);
    const std::size_t got =
        maybe_without_gil(ok->n, [&] { return cs::gather_values(ok->data, oc->view, out, n); });
    if (got != n) return library_observation_row(c, f, selection, obs_col, a);
    const Gathered own{out, buf.mutable_data(1, 0), n};
    return numpy_observation_row(c, buf[py::int_(0)], a, &own);
}

// pd.DataFrame(rows) with the numeric columns handed over as typed arrays:
// the same table (a column whose values are all floats is float64, all ints
// int64, any other column is inferred from its values as the records would
// be), at about two thirds of the construction cost, which dominates small
// tables.  The columns are copied into consolidated blocks, as the records
// would be, so the table is no larger.
// Only Count is typed as int64: other integers keep the library's inference.
py::object make_table(const Call& c, const py::list& rows) {
    py::object pd = c.g("pd");
    if (rows.empty()) return pd.attr("DataFrame")(rows);
    const auto n = static_cast<py::ssize_t>(rows.size());
    py::dict columns;
    // The rows are the dicts built here, keyed by the column names above.
    py::object first = rows[0];
    for (py::handle key : first.attr("keys")()) {
        py::list values;
        bool floats = true, ints = text_is(key, "Count");
        for (py::handle row : rows) {
            PyObject* v = PyDict_GetItemWithError(row.ptr(), key.ptr());
            if (v == nullptr) {
                if (PyErr_Occurred()) throw py::error_already_set();
                return pd.attr("DataFrame")(rows);  // rows of different shapes
            }
            floats = floats && PyFloat_Check(v);
            ints = ints && PyLong_CheckExact(v);
            values.append(v);
        }
        if (floats) {
            py::array_t<double> a(n);
            double* out = a.mutable_data();
            for (py::ssize_t i = 0; i < n; ++i) out[i] = PyFloat_AS_DOUBLE(values[i].ptr());
            columns[key] = a;
        } else if (ints) {
            columns[key] = c.g("np").attr("array")(values, py::arg("dtype") = "int64");
        } else {
            columns[key] = values;
        }
    }
    return pd.attr("DataFrame")(columns);
}

// pandas' own Series, not a subclass: only its methods are known to hand
// out the column's own values.
bool is_plain_series(const Call& c, const py::handle s) {
    return Py_TYPE(s.ptr()) == reinterpret_cast<PyTypeObject*>(c.g("pd").attr("Series").ptr());
}

bool is_float64_series(const Call& c, const py::object& s) {
    if (!is_plain_series(c, s)) return false;
    // numpy's float64 itself, not an extension type (its dtype name is a slow property)
    py::object dtype = s.attr("dtype");
    return py::isinstance(dtype, c.g("np").attr("dtype")) && text_is(dtype.attr("char"), "d");
}

}  // namespace

py::object nan() { return py::float_(std::numeric_limits<double>::quiet_NaN()); }

// ---- DataFrameFrame ----------------------------------------------------------

bool DataFrameFrame::has_column(py::handle name) { return contains(df_.attr("columns"), name); }

namespace {

// A one-dimensional buffer of `itemsize`-byte items, read to its own length.
struct Strided {
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;  // in items
    std::size_t n = 0;
};

std::optional<Strided> strided(const py::object& arr, py::ssize_t itemsize) {
    // A table type of its own may hand out something else: the library then reads it.
    if (!PyObject_CheckBuffer(arr.ptr())) return std::nullopt;
    py::buffer_info b = py::buffer(arr).request();
    if (b.ndim != 1 || b.itemsize != itemsize || b.strides[0] % itemsize != 0) return std::nullopt;
    return Strided{static_cast<const char*>(b.ptr), b.strides[0] / itemsize,
                   static_cast<std::size_t>(b.shape[0])};
}

}  // namespace

std::optional<RowFlags> DataFrameFrame::time_ok(const py::list& selection) {
    if (time_read_) return time_ok_;
    time_read_ = true;
    if (!has_column(py::str("time"))) {
        py::object raise = df_[selection];  // the library's missing-key error
    }
    py::object t = df_["time"];
    if (!native_libraries(c_) || !is_plain_series(c_, t)) return time_ok_;
    py::object dtype = t.attr("dtype");
    const bool stamps =
        py::isinstance(dtype, c_.g("np").attr("dtype")) && text_is(dtype.attr("kind"), "M");
    // Present: a stamp other than NaT, or a value the library does not call missing.
    py::object values =
        stamps ? t.attr("to_numpy")().attr("view")("int64") : t.attr("isna")().attr("to_numpy")();
    const py::ssize_t itemsize = stamps ? 8 : 1;
    const std::optional<Strided> v = strided(values, itemsize);
    if (!v) return time_ok_;
    time_flags_ = py::array_t<std::uint8_t>(static_cast<py::ssize_t>(v->n));
    std::uint8_t* out = time_flags_.mutable_data();
    for (std::size_t i = 0; i < v->n; ++i) {
        const char* item = v->data + static_cast<std::ptrdiff_t>(i) * v->stride * itemsize;
        if (stamps) {
            std::int64_t x;
            std::memcpy(&x, item, sizeof x);
            out[i] = x != core::kNaT;
        } else {
            out[i] = *item == 0;
        }
    }
    time_ok_ = RowFlags{out, v->n};
    return time_ok_;
}

std::optional<Column> DataFrameFrame::numeric(py::handle name) {
    // The column df[name] gives: the one an earlier equal label found, as the
    // table's column lookup compares labels.
    for (const auto& [key, col] : numeric_) {
        if (same_item(key, name)) return col;
    }
    std::optional<Column> col;
    py::object s = df_[name];
    if (is_float64_series(c_, s)) {
        py::object arr = s.attr("to_numpy")();
        py::buffer_info b;
        if (PyObject_CheckBuffer(arr.ptr())) b = py::buffer(arr).request();
        if (b.ptr != nullptr && b.ndim == 1 && b.itemsize == 8 && b.format == "d" &&
            b.strides[0] % 8 == 0) {
            col = Column{{static_cast<const double*>(b.ptr), b.strides[0] / 8,
                          static_cast<std::size_t>(b.shape[0])},
                         arr};
        }
    }
    numeric_.emplace_back(py::reinterpret_borrow<py::object>(name), col);
    return col;
}

// ---- tables -------------------------------------------------------------------

py::object statistics_table(const Call& c, Frame& f, const TableArgs& a) {
    const char* name = "compute_statistics_from_collocated_df";
    start_banner(c, a.debug, name);
    py::object obs_col = a.variable + py::str("_obs");
    if (!f.has_column(obs_col)) {
        raise(PyExc_ValueError, fmt("Observation column '{}' not found in DataFrame.", obs_col));
    }
    py::list rows;
    for (py::handle exp : a.experiments) {
        py::object mod_col = fmt("{}_{}", a.variable, exp);
        if (!f.has_column(mod_col)) {
            log_warning(c, fmt("{} not found in DataFrame. Skipping.", mod_col));
            continue;
        }
        rows.append(experiment_row(c, f, exp, obs_col, mod_col, a));
    }
    end_banner(c, a.debug, name);
    return make_table(c, rows);
}

py::object statistics_table_with_obs(const Call& c, Frame& f, const TableArgs& a) {
    const char* name = "compute_statistics_from_collocated_df_with_obs_entry";
    start_banner(c, a.debug, name);
    py::object table;
    if (is_original(c, "compute_statistics_from_collocated_df", originals().statistics_df)) {
        table = statistics_table(c, f, a);
    } else {
        table = c.g("compute_statistics_from_collocated_df")(
            py::arg("df") = f.table(), py::arg("station_metadata") = a.station_metadata,
            py::arg("variable") = a.variable, py::arg("experiments") = a.experiments,
            py::arg("tavg") = a.tavg, py::arg("debug") = a.debug);
    }
    py::object obs_col = a.variable + py::str("_obs");
    py::object row = obs_entry(c, f, obs_col, a);
    py::object result = table;
    if (!row.is_none()) {
        py::object pd = c.g("pd");
        py::list one;
        one.append(row);
        py::list parts;
        parts.append(pd.attr("DataFrame")(one));
        parts.append(table);
        result = pd.attr("concat")(parts, py::arg("ignore_index") = true);
    }
    end_banner(c, a.debug, name);
    return result;
}

namespace {

TableArgs table_args(const Call& c) {
    return {c.arg("station_metadata"), c.arg("variable"), c.arg("experiments"), c.arg("tavg"),
            c.arg("debug")};
}

const std::vector<binding::Param> table_params() {
    return {annotated("df", "pd.DataFrame"), annotated("station_metadata", "dict"),
            annotated("variable", "str"),    annotated("experiments", "list"),
            annotated("tavg", "str"),        {"debug", py::bool_(false), "bool"}};
}

py::object compute_statistics_from_collocated_df(const Call& c) {
    DataFrameFrame f(c, c.arg("df"));
    return statistics_table(c, f, table_args(c));
}

py::object compute_statistics_from_collocated_df_with_obs_entry(const Call& c) {
    DataFrameFrame f(c, c.arg("df"));
    return statistics_table_with_obs(c, f, table_args(c));
}

py::object compute_pearson_r(const Call& c) {
    const py::object& obs = c.arg("obs");
    const py::object& mod = c.arg("mod");
    if (py::len(obs) < 2) return nan();
    if (py::len(mod) < 2) return nan();
    return c.g("pearsonr")(obs, mod)[py::int_(0)];
}

}  // namespace

FunctionSpec spec_compute_statistics_from_collocated_df() {
    return {.name = "compute_statistics_from_collocated_df",
            .params = table_params(),
            .impl = compute_statistics_from_collocated_df,
            .doc =
                "compute_statistics_from_collocated_df(df, station_metadata, variable, "
                "experiments, tavg, debug=False)\n\n"
                "The statistics table of a collocated frame (columns time, <variable>_obs,\n"
                "<variable>_<exp>): one row per experiment, over the rows where time, the\n"
                "observation o and the model value m are all present. R = pearsonr(o, m),\n"
                "R2 = R**2, RMSE = sqrt(mean((m-o)**2)), MB = mean(m-o), Bias = mean(o-m),\n"
                "STD_dev = np.std(o-m) (divisor n), Mean = Average, Min, Max, Median of m,\n"
                "Count = n; then station_metadata (SID, NAME, LAT, LON, ELE, SDATE, EDATE),\n"
                "Variable and plAVG (tavg). 2 pairs or fewer: NaN and Count, with Count as\n"
                "the second column when it is the first row. Raises ValueError without\n"
                "<variable>_obs.",
            .return_annotation = "pd.DataFrame"};
}

FunctionSpec spec_compute_statistics_from_collocated_df_with_obs_entry() {
    return {.name = "compute_statistics_from_collocated_df_with_obs_entry",
            .params = table_params(),
            .impl = compute_statistics_from_collocated_df_with_obs_entry,
            .doc =
                "compute_statistics_from_collocated_df_with_obs_entry(df, station_metadata, "
                "variable, experiments, tavg, debug=False)\n\n"
                "The table of compute_statistics_from_collocated_df with an 'obs' row first:\n"
                "STD_dev (divisor n), Mean, Min, Max, Average, Median and Count of every\n"
                "observation with a time, NaN in R to Bias. No 'obs' row without such\n"
                "observations.",
            .return_annotation = "pd.DataFrame"};
}

FunctionSpec spec_compute_pearson_r() {
    return {.name = "compute_pearson_r",
            .params = {"obs", "mod"},
            .impl = compute_pearson_r,
            .doc =
                "compute_pearson_r(obs, mod)\n\n"
                "scipy.stats.pearsonr(obs, mod)[0], or NaN when either holds fewer than 2\n"
                "items. NaN values are not removed."};
}

}  // namespace kvelo::statistics
