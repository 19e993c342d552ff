// Regional statistics: every (station, time) pair of the station-wise
// dictionary is one sample of the regional pool.
//
// The pool is gathered natively in one pass over the dictionary's lists when
// they hold what the station table intake stores (time stamps, floats, None);
// the statistics then run on it without building a pandas table, since they
// do not depend on the row order.  Anything else takes the pandas route, which
// builds, joins and sorts the pool as the library would.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
// after pybind11, which brings Python.h
#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "kvelo/glue/pyutil.hpp"
#include "kvelo/modules/statistics/statistics.hpp"

namespace kvelo::statistics {

using namespace kvelo::glue;

namespace {

// ---- civil dates ---------------------------------------------------------------

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::string civil_text(std::int64_t micros) {
    constexpr std::int64_t per_day = 86400LL * 1000000LL;
    std::int64_t z = micros >= 0 ? micros / per_day : -((-micros + per_day - 1) / per_day);
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    return buf;
}

// ---- reading the dictionary's lists ---------------------------------------------

enum class Stamp { Valid, Missing, Unsupported };

struct Readers {
    PyTypeObject* timestamp = nullptr;
    PyTypeObject* float64 = nullptr;
    PyObject* nat = nullptr;

    explicit Readers(const Call& c) {
        if (PyDateTimeAPI == nullptr) {
            PyDateTime_IMPORT;
            if (PyDateTimeAPI == nullptr) throw py::error_already_set();
        }
        py::object pd = c.g("pd");
        timestamp = reinterpret_cast<PyTypeObject*>(pd.attr("Timestamp").ptr());
        nat = pd.attr("NaT").ptr();
        float64 = reinterpret_cast<PyTypeObject*>(c.g("np").attr("float64").ptr());
    }

    // Time stamps the library converts without surprises: naive Timestamps and
    // datetimes within the nanosecond range, and the missing markers.
    Stamp stamp(PyObject* e, std::int64_t* micros) const {
        PyTypeObject* t = Py_TYPE(e);
        if (t == timestamp || t == PyDateTimeAPI->DateTimeType) {
            if (PyDateTime_DATE_GET_TZINFO(e) != Py_None) return Stamp::Unsupported;
            const int y = PyDateTime_GET_YEAR(e);
            if (y < 1678 || y > 2261) return Stamp::Unsupported;
            if (micros != nullptr) {
                const std::int64_t days = days_from_civil(y, PyDateTime_GET_MONTH(e),
                                                          PyDateTime_GET_DAY(e));
                *micros = ((days * 24 + PyDateTime_DATE_GET_HOUR(e)) * 60 +
                           PyDateTime_DATE_GET_MINUTE(e)) * 60000000LL +
                          PyDateTime_DATE_GET_SECOND(e) * 1000000LL +
                          PyDateTime_DATE_GET_MICROSECOND(e);
            }
            return Stamp::Valid;
        }
        if (e == nat || e == Py_None) return Stamp::Missing;
        if (PyFloat_Check(e) && std::isnan(PyFloat_AS_DOUBLE(e))) return Stamp::Missing;
        return Stamp::Unsupported;
    }

    // Floats that become float64 values of the pool; None is missing.
    bool value(PyObject* e, double& out) const {
        PyTypeObject* t = Py_TYPE(e);
        if (t == &PyFloat_Type || t == float64 || (t != &PyBool_Type && PyFloat_Check(e))) {
            out = PyFloat_AS_DOUBLE(e);
            return true;
        }
        if (e == Py_None) {
            out = std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        // Integers stay with the library: a column of them alone keeps its
        // integer type there, and with it the type of Min and Max.
        return false;
    }
};

bool is_sequence(py::handle h) { return PyList_CheckExact(h.ptr()) || PyTuple_CheckExact(h.ptr()); }

PyObject** items(py::handle h) { return PySequence_Fast_ITEMS(h.ptr()); }

struct Station {
    py::object time, obs;
    std::vector<std::pair<std::size_t, py::object>> exps;  // (pool column, list)
    std::size_t len = 0;
};

// The regional pool gathered from the dictionary.
class PoolFrame : public Frame {
public:
    std::size_t n = 0;
    py::object obs_key;
    py::list exp_keys;
    py::array_t<std::uint8_t> ok;
    py::array_t<double> obs;
    std::vector<py::array_t<double>> exps;
    // Time spans of all rows, and of the rows that hold an observation.
    std::int64_t lo_all = kNone, hi_all = kNone, lo_obs = kNone, hi_obs = kNone;
    bool any_all = false, any_obs = false;
    static constexpr std::int64_t kNone = 0;

    std::size_t rows() override { return n; }
    bool has_column(py::handle name) override { return index(name) != -3; }
    const std::uint8_t* time_ok(const py::list&) override { return ok.data(); }
    std::optional<Column> numeric(py::handle name) override {
        const long i = index(name);
        if (i < -1) return std::nullopt;
        const py::array_t<double>& a = i == -1 ? obs : exps[static_cast<std::size_t>(i)];
        return Column{a.data(), 1, a};
    }
    py::object table() override { return py::none(); }

private:
    // -1 the observation column, -2 time, -3 absent, else the experiment.
    long index(py::handle name) {
        if (obs_key.equal(py::reinterpret_borrow<py::object>(name))) return -1;
        for (std::size_t i = 0; i < exp_keys.size(); ++i) {
            if (py::object(exp_keys[i]).equal(py::reinterpret_borrow<py::object>(name))) {
                return static_cast<long>(i);
            }
        }
        if (py::isinstance<py::str>(name) && str(name) == "time") return -2;
        return -3;
    }
};

void widen(bool& any, std::int64_t& lo, std::int64_t& hi, std::int64_t key) {
    if (!any) {
        lo = hi = key;
        any = true;
    } else {
        lo = std::min(lo, key);
        hi = std::max(hi, key);
    }
}

bool starts_with(py::handle key, const std::string& prefix) {
    if (!PyUnicode_Check(key.ptr())) return false;
    return str(key).rfind(prefix, 0) == 0;
}

// nullopt: the dictionary holds something only the pandas route reads alike.
std::optional<PoolFrame> gather_pool(const Call& c, py::handle data, const py::object& obs_key,
                                     const std::string& prefix) {
    const Readers rd(c);
    PoolFrame pool;
    pool.obs_key = obs_key;
    std::vector<Station> stations;
    py::object time_key = py::str("time");
    for (py::handle sd : data.attr("values")()) {
        py::object t = sd[time_key];  // a station without time fails as the library would
        if (!is_sequence(t)) return std::nullopt;
        const std::size_t len = py::len(t);
        PyObject** ts = items(t);
        for (std::size_t i = 0; i < len; ++i) {
            if (rd.stamp(ts[i], nullptr) == Stamp::Unsupported) return std::nullopt;
        }
        if (!truthy(sd.attr("__contains__")(obs_key))) continue;
        Station st;
        st.time = t;
        st.len = len;
        st.obs = sd[obs_key];
        if (!is_sequence(st.obs) || py::len(st.obs) != len) return std::nullopt;
        for (py::handle key : sd) {
            if (!starts_with(key, prefix) || key.equal(obs_key)) continue;
            py::object values = sd[key];
            if (!is_sequence(values) || py::len(values) != len) return std::nullopt;
            std::size_t col = pool.exp_keys.size();
            for (std::size_t j = 0; j < pool.exp_keys.size(); ++j) {
                if (py::object(pool.exp_keys[j]).equal(py::reinterpret_borrow<py::object>(key))) {
                    col = j;
                    break;
                }
            }
            if (col == pool.exp_keys.size()) pool.exp_keys.append(key);
            st.exps.emplace_back(col, values);
        }
        pool.n += len;
        stations.push_back(std::move(st));
    }
    if (stations.empty()) return std::nullopt;

    const auto size = static_cast<py::ssize_t>(pool.n > 0 ? pool.n : 1);
    pool.ok = py::array_t<std::uint8_t>(size);
    pool.obs = py::array_t<double>(size);
    for (std::size_t j = 0; j < pool.exp_keys.size(); ++j) pool.exps.emplace_back(size);
    std::uint8_t* ok = pool.ok.mutable_data();
    double* obs = pool.obs.mutable_data();
    std::vector<double*> exps;
    for (auto& a : pool.exps) exps.push_back(a.mutable_data());
    std::vector<bool> filled(exps.size());

    std::size_t at = 0;
    for (const Station& st : stations) {
        PyObject** ts = items(st.time);
        PyObject** os = items(st.obs);
        for (std::size_t i = 0; i < st.len; ++i) {
            std::int64_t key = 0;
            const bool valid = rd.stamp(ts[i], &key) == Stamp::Valid;
            ok[at + i] = valid;
            if (!rd.value(os[i], obs[at + i])) return std::nullopt;
            if (!valid) continue;
            widen(pool.any_all, pool.lo_all, pool.hi_all, key);
            if (!std::isnan(obs[at + i])) widen(pool.any_obs, pool.lo_obs, pool.hi_obs, key);
        }
        std::fill(filled.begin(), filled.end(), false);
        for (const auto& [col, values] : st.exps) {
            PyObject** vs = items(values);
            for (std::size_t i = 0; i < st.len; ++i) {
                if (!rd.value(vs[i], exps[col][at + i])) return std::nullopt;
            }
            filled[col] = true;
        }
        for (std::size_t j = 0; j < exps.size(); ++j) {
            if (!filled[j]) {
                std::fill(exps[j] + at, exps[j] + at + st.len,
                          std::numeric_limits<double>::quiet_NaN());
            }
        }
        at += st.len;
    }
    return pool;
}

py::dict regional_metadata(py::object sdate, py::object edate) {
    py::dict meta;
    meta["SID"] = "REGIONAL";
    meta["NAME"] = "Regional Mean";
    meta["LAT"] = nan();
    meta["LON"] = nan();
    meta["ELE"] = nan();
    meta["SDATE"] = std::move(sdate);
    meta["EDATE"] = std::move(edate);
    return meta;
}

py::list experiment_names(py::handle keys, const py::object& prefix) {
    py::list names;
    for (py::handle key : keys) names.append(key.attr("removeprefix")(prefix));
    return names;
}

enum class Variant { WithObsRow, ExperimentsOnly };

const char* function_name(Variant v) {
    return v == Variant::WithObsRow ? "compute_regional_statistics"
                                    : "compute_regional_statistics_from_collocated_dict";
}

// The pool built, joined and sorted with pandas, handed to the module's
// statistics function as it is bound now.
py::object pandas_route(const Call& c, Variant v, const py::object& obs_key,
                        const std::string& prefix) {
    py::handle data = c[0];
    py::object pd = c.g("pd");
    py::list blocks;
    for (py::handle sd : data.attr("values")()) {
        py::object t = pd.attr("to_datetime")(sd[py::str("time")]);
        if (!truthy(sd.attr("__contains__")(obs_key))) continue;
        py::dict columns;
        columns["time"] = t;
        columns[obs_key] = sd[obs_key];
        py::object block = pd.attr("DataFrame")(columns);
        for (py::handle key : sd) {
            if (!starts_with(key, prefix) || key.equal(obs_key)) continue;
            block.attr("__setitem__")(key, sd[key]);
        }
        blocks.append(block);
    }
    if (blocks.empty() && v == Variant::WithObsRow) {
        log_warning(c, py::str("No valid station data found for regional statistics."));
        return pd.attr("DataFrame")();
    }
    py::object pool =
        pd.attr("concat")(blocks, py::arg("axis") = 0, py::arg("ignore_index") = true);
    if (v == Variant::ExperimentsOnly) {
        py::list subset;
        subset.append(obs_key);
        pool = pool.attr("dropna")(py::arg("subset") = subset);
    }
    pool.attr("__setitem__")("time", pd.attr("to_datetime")(pool[py::str("time")]));
    pool = pool.attr("sort_values")("time");
    py::list keys;
    for (py::handle col : pool.attr("columns")) {
        if (starts_with(col, prefix) && !col.equal(obs_key)) keys.append(col);
    }
    py::object times = pool[py::str("time")];
    py::dict meta = regional_metadata(times.attr("min")().attr("strftime")("%Y-%m-%d"),
                                      times.attr("max")().attr("strftime")("%Y-%m-%d"));
    const char* callee = v == Variant::WithObsRow
                             ? "compute_statistics_from_collocated_df_with_obs_entry"
                             : "compute_statistics_from_collocated_df";
    if (v == Variant::WithObsRow) end_banner(c, c[3], function_name(v));
    py::object result = c.g(callee)(
        py::arg("df") = pool, py::arg("station_metadata") = meta, py::arg("variable") = c[1],
        py::arg("experiments") = experiment_names(keys, py::str(prefix)),
        py::arg("tavg") = c[2], py::arg("debug") = c[3]);
    if (v == Variant::ExperimentsOnly) end_banner(c, c[3], function_name(v));
    return result;
}

py::object regional(const Call& c, Variant v) {
    start_banner(c, c[3], function_name(v));
    py::object prefix_obj = concat(c[1], py::str("_"));
    py::object obs_key = concat(c[1], py::str("_obs"));
    const std::string prefix = str(prefix_obj);
    const Originals& o = originals();
    bool native = native_libraries(c) &&
                  is_original(c, "compute_statistics_from_collocated_df", o.statistics_df);
    if (v == Variant::WithObsRow) {
        native = native && is_original(c, "compute_statistics_from_collocated_df_with_obs_entry",
                                       o.with_obs_entry);
    }
    if (native) {
        std::optional<PoolFrame> pool = gather_pool(c, c[0], obs_key, prefix);
        const bool dated = pool && (v == Variant::WithObsRow ? pool->any_all : pool->any_obs);
        if (dated) {
            const bool all = v == Variant::WithObsRow;
            const std::int64_t lo = all ? pool->lo_all : pool->lo_obs;
            const std::int64_t hi = all ? pool->hi_all : pool->hi_obs;
            py::dict meta = regional_metadata(py::str(civil_text(lo)), py::str(civil_text(hi)));
            TableArgs a{meta, c[1], experiment_names(pool->exp_keys, prefix_obj), c[2], c[3]};
            if (all) {
                end_banner(c, c[3], function_name(v));
                return statistics_table_with_obs(c, *pool, a);
            }
            py::object result = statistics_table(c, *pool, a);
            end_banner(c, c[3], function_name(v));
            return result;
        }
    }
    return pandas_route(c, v, obs_key, prefix);
}

const std::vector<glue::Param> regional_params() {
    return {annotated("data", "dict"), annotated("variable", "str"), annotated("tavg", "str"),
            {"debug", py::bool_(false), "bool"}};
}

}  // namespace

FunctionSpec spec_compute_regional_statistics() {
    return {.name = "compute_regional_statistics",
            .params = regional_params(),
            .impl = [](const Call& c) { return regional(c, Variant::WithObsRow); },
            .doc = "compute_regional_statistics(data, variable, tavg, debug=False)",
            .return_annotation = "pd.DataFrame"};
}

FunctionSpec spec_compute_regional_statistics_from_collocated_dict() {
    return {.name = "compute_regional_statistics_from_collocated_dict",
            .params = regional_params(),
            .impl = [](const Call& c) { return regional(c, Variant::ExperimentsOnly); },
            .doc = "compute_regional_statistics_from_collocated_dict(data, variable, tavg, "
                   "debug=False)",
            .return_annotation = "pd.DataFrame"};
}

}  // namespace kvelo::statistics
