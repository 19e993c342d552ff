// Regional statistics: every (station, time) pair of the station-wise
// dictionary is one sample of the regional pool.
//
// The stations are read in the order and with the lookups of the table
// formulation, and each station's lists are copied as soon as they are looked
// up, as the formulation copies them into the station's block: a lookup may
// run code that changes what an earlier lookup returned.  Lists of what the
// station table intake stores (time stamps, floats, None) are copied natively
// into the pool; a station holding anything else gets its block from pandas,
// and then the whole pool is joined, sorted and reduced by pandas as the
// formulation does.  A native pool is put in the order the formulation's
// sort_values leaves it (by the same pandas call on the same time stamps)
// before any statistic is computed, since sums depend on the order.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
// after pybind11, which brings Python.h
#include <datetime.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kvelo/binding/arrays.hpp"
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
using namespace pybind11::literals;
namespace cs = kvelo::core::stats;
namespace chrono = std::chrono;

namespace {

using core::kNaT;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Memory from the interpreter's raw allocator, which tracemalloc sees.
template <typename T>
struct TracedAllocator {
    using value_type = T;
    TracedAllocator() = default;
    template <typename U>
    TracedAllocator(const TracedAllocator<U>&) noexcept {}  // NOLINT: rebinding
    T* allocate(std::size_t n) {
        void* p = PyMem_RawMalloc(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { PyMem_RawFree(p); }
    // Elements made without a value are left uninitialised: they are written
    // right after (resize, then fill).
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    friend bool operator==(const TracedAllocator&, const TracedAllocator&) { return true; }
    friend bool operator!=(const TracedAllocator&, const TracedAllocator&) { return false; }
};
template <typename T>
using Traced = std::vector<T, TracedAllocator<T>>;

// ---- civil dates ---------------------------------------------------------------

// "%Y-%m-%d" of a time in nanoseconds since the epoch (the day it falls in,
// also for a time before the epoch).
std::string civil_text(std::int64_t ns) {
    const chrono::year_month_day date{chrono::floor<chrono::days>(
        chrono::sys_time<chrono::nanoseconds>(chrono::nanoseconds(ns)))};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return buf;
}

// ---- reading the dictionary's lists ---------------------------------------------

// numpy's datetime64 scalar object, as numpy/arrayscalars.h lays it out: the
// count and its unit.
struct DatetimeScalar {
    PyObject ob_base;
    std::int64_t obval;
    int base;  // NPY_DATETIMEUNIT
    int num;
};

// Nanoseconds per unit for the units days to nanoseconds (NPY_FR_D = 4 to
// NPY_FR_ns = 10); calendar units and finer ones stay with the library.
constexpr std::int64_t kUnitNs[] = {
    86400000000000LL, 3600000000000LL, 60000000000LL, 1000000000LL, 1000000LL, 1000LL, 1LL};
constexpr int kFirstUnit = 4;

enum class Stamp { Valid, Missing, Unsupported };

class Readers {
  public:
    explicit Readers(const Call& c) {
        if (PyDateTimeAPI == nullptr) {
            PyDateTime_IMPORT;
            if (PyDateTimeAPI == nullptr) throw py::error_already_set();
        }
        py::object pd = c.g("pd");
        timestamp_ = reinterpret_cast<PyTypeObject*>(pd.attr("Timestamp").ptr());
        nat_ = pd.attr("NaT").ptr();
        float64_ = reinterpret_cast<PyTypeObject*>(c.g("np").attr("float64").ptr());
        // Read datetime64 scalars only when their layout is the one above.
        py::object dt64 = c.g("np").attr("datetime64");
        py::object probe = dt64(-3, "h");
        const auto* s = reinterpret_cast<const DatetimeScalar*>(probe.ptr());
        if (PyObject_TypeCheck(probe.ptr(), reinterpret_cast<PyTypeObject*>(dt64.ptr())) &&
            Py_TYPE(probe.ptr())->tp_basicsize >= static_cast<Py_ssize_t>(sizeof(DatetimeScalar)) &&
            s->obval == -3 && s->base == 5 && s->num == 1) {
            datetime64_ = reinterpret_cast<PyTypeObject*>(dt64.ptr());
        }
    }

    // What pandas to_datetime reads as a naive stamp within its nanosecond
    // range, or as missing.  May look up a Timestamp's nanoseconds.
    Stamp stamp(PyObject* e, std::int64_t& ns) const {
        PyTypeObject* t = Py_TYPE(e);
        if (t == datetime64_) {
            const auto* s = reinterpret_cast<const DatetimeScalar*>(e);
            if (s->obval == kNaT) return Stamp::Missing;
            const int unit = s->base - kFirstUnit;
            if (s->num != 1 || unit < 0 || unit >= static_cast<int>(std::size(kUnitNs))) {
                return Stamp::Unsupported;
            }
            if (__builtin_mul_overflow(s->obval, kUnitNs[unit], &ns) || ns == kNaT) {
                return Stamp::Unsupported;
            }
            return Stamp::Valid;
        }
        if (t == timestamp_ || t == PyDateTimeAPI->DateTimeType) {
            if (PyDateTime_DATE_GET_TZINFO(e) != Py_None) return Stamp::Unsupported;
            const int y = PyDateTime_GET_YEAR(e);
            if (y < 1678 || y > 2261) return Stamp::Unsupported;
            const chrono::sys_days date{
                chrono::year(y) / chrono::month(static_cast<unsigned>(PyDateTime_GET_MONTH(e))) /
                chrono::day(static_cast<unsigned>(PyDateTime_GET_DAY(e)))};
            const std::int64_t days = date.time_since_epoch().count();
            const std::int64_t micros =
                ((days * 24 + PyDateTime_DATE_GET_HOUR(e)) * 60 + PyDateTime_DATE_GET_MINUTE(e)) *
                    60000000LL +
                PyDateTime_DATE_GET_SECOND(e) * 1000000LL + PyDateTime_DATE_GET_MICROSECOND(e);
            ns = micros * 1000;
            if (t == timestamp_) {
                PyObject* nanos = PyObject_GetAttrString(e, "nanosecond");
                if (nanos == nullptr) throw py::error_already_set();
                const auto held = py::reinterpret_steal<py::object>(nanos);
                if (!PyLong_Check(nanos)) return Stamp::Unsupported;
                const long long extra = saturated(held);
                if (extra < 0 || extra > 999) return Stamp::Unsupported;
                ns += extra;
            }
            return Stamp::Valid;
        }
        if (e == nat_ || e == Py_None) return Stamp::Missing;
        if (PyFloat_Check(e) && std::isnan(PyFloat_AS_DOUBLE(e))) return Stamp::Missing;
        return Stamp::Unsupported;
    }

    // numpy's float64 scalar type, a float subclass: tested first, as the
    // intake's lists hold it.
    PyTypeObject* float64() const { return float64_; }

  private:
    PyTypeObject* float64_ = nullptr;
    PyTypeObject* timestamp_ = nullptr;
    PyTypeObject* datetime64_ = nullptr;
    PyObject* nat_ = nullptr;
};

bool is_list_or_tuple(py::handle h) {
    return PyList_CheckExact(h.ptr()) || PyTuple_CheckExact(h.ptr());
}

// Appends the stamps of a list in nanoseconds (kNaT for missing ones); false,
// with `out` as it was, when an item is not read natively.  The list's size is
// read at every step and each item is held while it is read.
bool read_times(const Readers& rd, py::handle seq, Traced<std::int64_t>& out) {
    if (!is_list_or_tuple(seq)) return false;
    const std::size_t start = out.size();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
        const auto e = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(seq.ptr(), i));
        std::int64_t ns = kNaT;
        const Stamp s = rd.stamp(e.ptr(), ns);
        if (s == Stamp::Unsupported) {
            out.resize(start);
            return false;
        }
        out.push_back(s == Stamp::Valid ? ns : kNaT);
    }
    return true;
}

// Appends the values of a list of `len` floats and None (None as NaN) that
// the library makes a float64 column of: at least one float among them.
// False, with `out` as it was, otherwise.  No call into Python on the way.
bool read_values(const Readers& rd, py::handle seq, std::size_t len, Traced<double>& out) {
    PyTypeObject* const float64 = rd.float64();
    if (!is_list_or_tuple(seq)) return false;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq.ptr());
    if (static_cast<std::size_t>(size) != len) return false;
    PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
    const std::size_t start = out.size();
    out.resize(start + len);
    double* dst = out.data() + start;
    bool any_float = false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* e = items[i];
        if (Py_TYPE(e) == float64 || PyFloat_Check(e)) {
            dst[i] = PyFloat_AS_DOUBLE(e);
            any_float = true;
        } else if (e == Py_None) {
            dst[i] = kNaN;
        } else {
            any_float = false;
            break;
        }
    }
    if (!any_float) out.resize(start);
    return any_float;
}

// key.startswith(prefix), as the formulation asks every key: a key that is no
// str fails as it fails there.  Plain texts are compared without the call.
bool starts_with(py::handle key, py::handle prefix) {
    if (PyUnicode_CheckExact(key.ptr()) && PyUnicode_CheckExact(prefix.ptr())) {
        const Py_ssize_t r = PyUnicode_Tailmatch(key.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (r < 0) throw py::error_already_set();
        return r == 1;
    }
    return truthy(key.attr("startswith")(prefix));
}

// ---- the pool ---------------------------------------------------------------------

// The rows of the usable stations, station after station, as the join of the
// stations' blocks holds them.  Every station is read natively until one
// cannot be; from then on the stations are pandas blocks, and the stations
// read before are turned into blocks too.
class PoolBuilder {
  public:
    // `stations`: how many stations the dictionary holds, when known, to make
    // room for the pool at once.
    PoolBuilder(const Call& c, py::object obs_key, py::object prefix, bool native,
                std::size_t stations)
        : c_(c),
          obs_key_(std::move(obs_key)),
          prefix_(std::move(prefix)),
          native_(native),
          stations_(stations) {
        if (native_) readers_.emplace(c);
    }

    // One station, looked up as the formulation looks it up.
    void add(py::handle sd) {
        py::object time_list = sd[py::str("time")];
        const std::size_t start = time_.size();
        const bool native_time = native_ && read_times(*readers_, time_list, time_);
        py::object times;
        if (!native_time) times = c_.g("pd").attr("to_datetime")(time_list);
        if (!contains(sd, obs_key_)) {
            time_.resize(start);
            return;
        }
        Span span{start, time_.size() - start, {}};
        if (native_time && spans_.empty()) make_room(span.len);
        py::object obs_list = sd[obs_key_];
        bool native = native_time && read_values(*readers_, obs_list, span.len, obs_);
        py::object block;
        if (native_time && !native) times = stamps(span);
        if (!native) block = new_block(times, obs_list);
        for (py::handle key : sd) {
            if (!(starts_with(key, prefix_) && holds(key, obs_key_, Py_NE))) continue;
            py::object values = sd[key];
            if (native) {
                const std::size_t col = column(key, span.start);
                const bool again =
                    std::find(span.cols.begin(), span.cols.end(), col) != span.cols.end();
                if (!again && read_values(*readers_, values, span.len, exps_[col])) {
                    span.cols.push_back(col);
                    continue;
                }
                block = block_of(span);
                native = false;
            }
            block.attr("__setitem__")(key, values);
        }
        if (native) {
            finish_span(span);
        } else {
            to_pandas();
            blocks_.append(block);
        }
    }

    // True when every usable station was read natively (and there is one).
    bool native_pool() const { return native_ && !spans_.empty(); }

    // The stations' blocks, for the pandas formulation.
    py::list blocks() {
        to_pandas();
        return blocks_;
    }

    const py::list& exp_keys() const { return exp_keys_; }
    std::size_t rows() const { return time_.size(); }
    const Traced<std::int64_t>& times() const { return time_; }
    const Traced<double>& obs() const { return obs_; }
    Traced<double>& exp(std::size_t j) { return exps_[j]; }

  private:
    struct Span {
        std::size_t start = 0, len = 0;
        std::vector<std::size_t> cols;  // pool columns, in the station's key order
    };

    // Room for as many rows as the stations would hold at `len` rows each (a
    // guess: the columns still grow as they need to).
    void make_room(std::size_t len) {
        constexpr std::size_t most = std::size_t{1} << 26;
        const std::size_t stations = std::max<std::size_t>(stations_, 1);
        const std::size_t rows = len > most / stations ? most : len * stations;
        try {
            time_.reserve(rows);
            obs_.reserve(rows);
        } catch (const std::bad_alloc&) {
        }
    }

    // The pool column of an experiment key, made at its first appearance,
    // missing for the `before` rows of the stations read earlier.  Keys meet
    // as the join of the blocks matches their column labels.
    std::size_t column(py::handle key, std::size_t before) {
        for (std::size_t j = 0; j < exp_keys_.size(); ++j) {
            if (same_item(exp_keys_[j], key)) return j;
        }
        exp_keys_.append(key);
        exps_.emplace_back();
        try {
            exps_.back().reserve(time_.capacity());
        } catch (const std::bad_alloc&) {
        }
        exps_.back().resize(before, kNaN);
        return exps_.size() - 1;
    }

    void finish_span(const Span& span) {
        for (std::size_t j = 0; j < exps_.size(); ++j) {
            if (std::find(span.cols.begin(), span.cols.end(), j) == span.cols.end()) {
                exps_[j].resize(span.start + span.len, kNaN);
            }
        }
        spans_.push_back(span);
    }

    py::object stamps(const Span& s) const {
        return to_array(time_.data() + s.start, s.len).attr("view")("M8[ns]");
    }

    py::object new_block(const py::object& times, const py::object& obs) const {
        py::dict columns;
        columns["time"] = times;
        columns[obs_key_] = obs;
        return c_.g("pd").attr("DataFrame")(columns);
    }

    // The block of a station read natively so far.
    py::object block_of(const Span& s) const {
        py::object block = new_block(stamps(s), to_array(obs_.data() + s.start, s.len));
        for (std::size_t col : s.cols) {
            block.attr("__setitem__")(exp_keys_[col], to_array(exps_[col].data() + s.start, s.len));
        }
        return block;
    }

    // Turns the stations read natively into blocks and reads natively no more.
    void to_pandas() {
        if (!native_) return;
        for (const Span& s : spans_) blocks_.append(block_of(s));
        spans_.clear();
        native_ = false;
        Traced<std::int64_t>().swap(time_);
        Traced<double>().swap(obs_);
        exps_.clear();
        exp_keys_ = py::list();
    }

    const Call& c_;
    py::object obs_key_;
    py::object prefix_;
    bool native_;
    std::size_t stations_;
    std::optional<Readers> readers_;
    Traced<std::int64_t> time_;
    Traced<double> obs_;
    std::vector<Traced<double>> exps_;
    py::list exp_keys_;
    std::vector<Span> spans_;
    py::list blocks_;
};

// The native pool in the order of the formulation's sorted table, with a flag
// for the rows that have a time stamp (the others take part in no
// statistic).  Where a statistic needs the table itself (a column the pool
// does not hold as float64, such as `time` named as a value column), the
// formulation's sorted table is built from the pool, so that the library
// answers as it would on the table.
class PoolFrame : public Frame {
  public:
    PoolFrame(const Call& c, const Traced<std::int64_t>& stamps) : c_(c), stamps_(stamps) {}

    py::object obs_key;
    py::list exp_keys;
    Traced<std::int64_t> order;  // the rows' positions in the joined table (its index labels)
    Traced<std::uint8_t> ok;
    Traced<double> obs;
    std::vector<Traced<double>> exps;

    bool has_column(py::handle name) override { return index(name) != kAbsent; }
    std::optional<RowFlags> time_ok(const py::list&) override {
        return RowFlags{ok.data(), ok.size()};
    }
    std::optional<Column> numeric(py::handle name) override {
        const long i = index(name);
        if (i == kAbsent || i == kTime) return std::nullopt;
        const Traced<double>& a = i == kObs ? obs : exps[static_cast<std::size_t>(i)];
        return Column{{a.data(), 1, a.size()}, py::none()};
    }
    py::object table() override {
        if (table_) return table_;
        Traced<std::int64_t> times(order.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            times[i] = stamps_[static_cast<std::size_t>(order[i])];
        }
        py::dict columns;
        columns["time"] = to_array(times.data(), times.size()).attr("view")("M8[ns]");
        columns[obs_key] = to_array(obs.data(), obs.size());
        for (std::size_t j = 0; j < exps.size(); ++j) {
            columns[exp_keys[j]] = to_array(exps[j].data(), exps[j].size());
        }
        table_ =
            c_.g("pd").attr("DataFrame")(columns, "index"_a = to_array(order.data(), order.size()));
        return table_;
    }

  private:
    static constexpr long kObs = -1, kTime = -2, kAbsent = -3;
    // The column `name` finds among the table's labels, as `name in
    // df.columns` and df[name] compare them.
    long index(py::handle name) const {
        if (same_item(obs_key, name)) return kObs;
        for (std::size_t i = 0; i < exp_keys.size(); ++i) {
            if (same_item(exp_keys[i], name)) return static_cast<long>(i);
        }
        if (text_is(name, "time")) return kTime;
        return kAbsent;
    }

    const Call& c_;
    const Traced<std::int64_t>& stamps_;  // the joined table's stamps, by position
    py::object table_;
};

// The row order that sort_values("time") gives a table with these stamps
// (NaT last), from the library's own sort.
Traced<std::int64_t> sort_order(const Call& c, const Traced<std::int64_t>& stamps) {
    py::object pd = c.g("pd");
    py::dict columns;
    columns["time"] = to_array(stamps.data(), stamps.size()).attr("view")("M8[ns]");
    py::object index = pd.attr("DataFrame")(columns).attr("sort_values")("time").attr("index");
    // Converted by numpy itself, so that a failure is numpy's own error.
    const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> order(
        index.attr("to_numpy")());
    if (order.ndim() != 1 || static_cast<std::size_t>(order.shape(0)) != stamps.size()) {
        raise(PyExc_ValueError, py::str("unexpected sort order"));
    }
    const std::int64_t* o = order.data();
    const auto n = static_cast<std::int64_t>(stamps.size());
    for (std::int64_t i = 0; i < n; ++i) {
        if (o[i] < 0 || o[i] >= n) raise(PyExc_ValueError, py::str("unexpected sort order"));
    }
    return Traced<std::int64_t>(o, o + n);
}

struct DateRange {
    bool any = false;
    std::int64_t lo = 0, hi = 0;
    void add(std::int64_t t) {
        if (t == kNaT) return;
        lo = any ? std::min(lo, t) : t;
        hi = any ? std::max(hi, t) : t;
        any = true;
    }
};

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

// Sorts the native pool (for the experiments-only variant, its rows with an
// observation) and computes the table; nullopt when no row has a time stamp,
// whose missing date the formulation fails to format.
std::optional<py::object> native_finish(const Call& c, Variant v, PoolBuilder& b,
                                        const py::object& obs_key, const py::object& prefix) {
    const bool all = v == Variant::WithObsRow;
    // The table to sort: the whole pool, or its rows with an observation
    // (`rows` holds their positions in the pool).
    Traced<std::int64_t> rows, kept;
    if (!all) {
        for (std::size_t i = 0; i < b.rows(); ++i) {
            if (std::isnan(b.obs()[i])) continue;
            rows.push_back(static_cast<std::int64_t>(i));
            kept.push_back(b.times()[i]);
        }
    }
    const Traced<std::int64_t>& stamps = all ? b.times() : kept;
    DateRange dates;
    for (std::int64_t t : stamps) dates.add(t);
    if (!dates.any) return std::nullopt;
    PoolFrame pool(c, b.times());
    pool.order = sort_order(c, stamps);
    if (!all) {
        for (std::int64_t& o : pool.order) o = rows[static_cast<std::size_t>(o)];
    }
    Traced<std::int64_t>().swap(rows);
    Traced<std::int64_t>().swap(kept);

    const std::size_t n = pool.order.size();
    const std::int64_t* order = pool.order.data();
    pool.obs_key = obs_key;
    pool.exp_keys = b.exp_keys();
    pool.ok.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        pool.ok[i] = b.times()[static_cast<std::size_t>(order[i])] != kNaT;
    }
    pool.obs.resize(n);
    cs::take(order, n, b.obs().data(), pool.obs.data());
    for (std::size_t j = 0; j < pool.exp_keys.size(); ++j) {
        pool.exps.emplace_back(n);
        cs::take(order, n, b.exp(j).data(), pool.exps.back().data());
        Traced<double>().swap(b.exp(j));
    }

    py::dict meta = regional_metadata(py::str(civil_text(dates.lo)), py::str(civil_text(dates.hi)));
    TableArgs a{meta, c.arg("variable"), experiment_names(pool.exp_keys, prefix), c.arg("tavg"),
                c.arg("debug")};
    if (all) {
        end_banner(c, a.debug, function_name(v));
        return statistics_table_with_obs(c, pool, a);
    }
    py::object result = statistics_table(c, pool, a);
    end_banner(c, a.debug, function_name(v));
    return result;
}

// The formulation from the stations' blocks on: join, sort, statistics by the
// module's statistics function as it is bound now.
py::object pandas_finish(const Call& c, Variant v, const py::list& blocks,
                         const py::object& obs_key, const py::object& prefix) {
    py::object pd = c.g("pd");
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
        if (starts_with(col, prefix) && holds(col, obs_key, Py_NE)) keys.append(col);
    }
    py::object times = pool[py::str("time")];
    py::dict meta = regional_metadata(times.attr("min")().attr("strftime")("%Y-%m-%d"),
                                      times.attr("max")().attr("strftime")("%Y-%m-%d"));
    const char* callee = v == Variant::WithObsRow
                             ? "compute_statistics_from_collocated_df_with_obs_entry"
                             : "compute_statistics_from_collocated_df";
    const py::object& debug = c.arg("debug");
    if (v == Variant::WithObsRow) end_banner(c, debug, function_name(v));
    py::object result = c.g(callee)(py::arg("df") = pool, py::arg("station_metadata") = meta,
                                    py::arg("variable") = c.arg("variable"),
                                    py::arg("experiments") = experiment_names(keys, prefix),
                                    py::arg("tavg") = c.arg("tavg"), py::arg("debug") = debug);
    if (v == Variant::ExperimentsOnly) end_banner(c, debug, function_name(v));
    return result;
}

py::object regional(const Call& c, Variant v) {
    start_banner(c, c.arg("debug"), function_name(v));
    const py::object& variable = c.arg("variable");
    py::object prefix = variable + py::str("_");
    py::object obs_key = variable + py::str("_obs");
    const Originals& o = originals();
    bool native = native_libraries(c) &&
                  is_original(c, "compute_statistics_from_collocated_df", o.statistics_df);
    if (v == Variant::WithObsRow) {
        native = native && is_original(c, "compute_statistics_from_collocated_df_with_obs_entry",
                                       o.with_obs_entry);
    }
    py::handle data = c.arg("data");
    const std::size_t stations = PyDict_CheckExact(data.ptr()) ? PyDict_GET_SIZE(data.ptr()) : 0;
    PoolBuilder b(c, obs_key, prefix, native, stations);
    for (py::handle sd : data.attr("values")()) b.add(sd);
    if (b.native_pool()) {
        std::optional<py::object> result = native_finish(c, v, b, obs_key, prefix);
        if (result) return *result;
    }
    return pandas_finish(c, v, b.blocks(), obs_key, prefix);
}

const std::vector<binding::Param> regional_params() {
    return {annotated("data", "dict"),
            annotated("variable", "str"),
            annotated("tavg", "str"),
            {"debug", py::bool_(false), "bool"}};
}

}  // namespace

FunctionSpec spec_compute_regional_statistics() {
    return {.name = "compute_regional_statistics",
            .params = regional_params(),
            .impl = [](const Call& c) { return regional(c, Variant::WithObsRow); },
            .doc =
                "compute_regional_statistics(data, variable, tavg, debug=False)\n\n"
                "Statistics of every experiment against the observations pooled over all\n"
                "stations of a station-wise dictionary (every station and time one sample;\n"
                "stations without <variable>_obs are left out): the 'obs' row first, then one\n"
                "row per <variable>_<experiment> key, SID 'REGIONAL'. Warns and returns an\n"
                "empty table when no station has observations.",
            .return_annotation = "pd.DataFrame"};
}

FunctionSpec spec_compute_regional_statistics_from_collocated_dict() {
    return {.name = "compute_regional_statistics_from_collocated_dict",
            .params = regional_params(),
            .impl = [](const Call& c) { return regional(c, Variant::ExperimentsOnly); },
            .doc =
                "compute_regional_statistics_from_collocated_dict(data, variable, tavg, "
                "debug=False)\n\n"
                "The regional pool of compute_regional_statistics without the 'obs' row, its\n"
                "rows without an observation dropped (SDATE and EDATE span only observed\n"
                "times). Raises ValueError when no station has observations.",
            .return_annotation = "pd.DataFrame"};
}

}  // namespace kvelo::statistics
