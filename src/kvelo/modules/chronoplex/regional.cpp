#include "kvelo/modules/chronoplex/regional.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <type_traits>

#include "kvelo/binding/arrays.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/core/stamps.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::binding;
using namespace pybind11::literals;

namespace {

template <typename T>
using Contiguous = py::array_t<T, py::array::c_style | py::array::forcecast>;

}  // namespace

// ---- the library's route ------------------------------------------------------

void LibraryRegional::add(py::object series, py::handle name) {
    if (duplicates_ == Duplicates::Averaged || !truthy(series.attr("index").attr("is_unique"))) {
        series = series.attr("groupby")("level"_a = 0).attr("mean")();
    }
    if (name) series.attr("name") = name;
    columns_.append(series);
}

RegionalSeries LibraryRegional::reduce(const Reduction& how) const {
    RegionalSeries out;
    out.table = c_.g("pd").attr("concat")(columns_, "axis"_a = 1);
    if (how.sort_rows) out.table = out.table.attr("sort_index")();
    out.index = out.table.attr("index");
    out.mean = out.table.attr("mean")("axis"_a = 1);
    if (how.range) {
        out.min = out.table.attr("min")("axis"_a = 1);
        out.max = out.table.attr("max")("axis"_a = 1);
    }
    if (how.spread) {
        py::object squares = out.table.attr("sub")(out.mean, "axis"_a = 0).attr("pow")(2);
        out.band = c_.g("np").attr("sqrt")(squares.attr("mean")("axis"_a = 1));
    }
    return out;
}

// ---- the native route ---------------------------------------------------------

bool NativeRegional::stamps_of(py::handle stamps, std::vector<int64_t>& out) {
    py::object dtype = getattr_or(stamps, "dtype", py::none());
    if (dtype.is_none() || !str_is(dtype, "datetime64[ns]")) return false;
    py::object arr = c_.g("np").attr("asarray")(stamps);
    if (!py::isinstance<py::array>(arr) || py::array(arr).dtype().kind() != 'M') return false;
    // Converted, not ensured: a failure (memory) is the interpreter's error.
    Contiguous<int64_t> a(arr.attr("view")("i8"));
    if (a.ndim() != 1) return false;
    out.assign(a.data(), a.data() + a.size());
    // A station joined as it is must already be in the order the join gives.
    if (duplicates_ == Duplicates::AveragedWhenRepeated &&
        (std::adjacent_find(out.begin(), out.end(), std::greater_equal<int64_t>()) != out.end() ||
         (!out.empty() && out.front() == core::kNaT))) {
        return false;
    }

    // The joined table keeps the stamps' name only when all stations agree;
    // the names are compared as the library's set of names compares them.
    py::object name = getattr_or(stamps, "name", py::none());
    if (count_ == 0) {
        name_ = name;
    } else if (!name_.is_none() && !same_item(name_, name)) {
        name_ = py::none();
    }
    return true;
}

template <typename T>
bool NativeRegional::push(std::vector<core::StampSeriesOf<T>>& into, const std::vector<int64_t>& t,
                          const T* v, size_t n) {
    const Type want = std::is_same_v<T, float> ? Type::Float : Type::Double;
    if ((type_ != Type::Unset && type_ != want) || n != t.size()) return false;
    into.push_back(core::average_duplicates(core::SeriesViewOf<T>{t.data(), v, n}));
    if (core::has_negative_zero(into.back())) return false;
    type_ = want;
    ++count_;
    return true;
}

bool NativeRegional::add(py::handle stamps, py::handle values) {
    if (!py::type::handle_of(values).is(c_.g("np").attr("ndarray"))) return false;
    std::vector<int64_t> t;
    if (!stamps_of(stamps, t)) return false;
    // From here on no call reaches Python code: the values are read as they
    // are now.
    py::array arr = py::reinterpret_borrow<py::array>(values);
    if (arr.ndim() != 1) return false;
    const char kind = arr.dtype().kind();
    const auto size = arr.dtype().itemsize();
    if (kind == 'f' && size == 8) {
        Contiguous<double> v(arr);
        return push(doubles_, t, v.data(), static_cast<size_t>(v.size()));
    }
    // Other types only where the library's grouping holds them as the kernel does.
    if (duplicates_ != Duplicates::Averaged) return false;
    if (kind == 'f' && size == 4) {
        Contiguous<float> v(arr);
        return push(floats_, t, v.data(), static_cast<size_t>(v.size()));
    }
    // The library's group mean turns integers and booleans into float64.
    if (kind == 'i' || kind == 'u' || kind == 'b') {
        Contiguous<double> v(arr);
        return push(doubles_, t, v.data(), static_cast<size_t>(v.size()));
    }
    return false;
}

bool NativeRegional::add(py::handle stamps, const std::vector<double>& values) {
    std::vector<int64_t> t;
    return stamps_of(stamps, t) && push(doubles_, t, values.data(), values.size());
}

template <typename T>
RegionalSeries NativeRegional::reduce_stations(const std::vector<core::StampSeriesOf<T>>& stations,
                                               const Reduction& how) const {
    core::RegionalAggregateOf<T> agg;
    {
        py::gil_scoped_release release;
        agg = core::aggregate_stations(stations, how.range, how.spread);
    }
    py::object pd = c_.g("pd");
    RegionalSeries out;
    out.index =
        pd.attr("DatetimeIndex")(to_array(agg.time).attr("view")("M8[ns]"), "name"_a = name_);
    auto series = [&](const std::vector<T>& v) {
        return pd.attr("Series")(to_array(v), "index"_a = out.index);
    };
    out.mean = series(agg.mean);
    if (how.range) {
        out.min = series(agg.min);
        out.max = series(agg.max);
    }
    if (how.spread) out.band = c_.g("np").attr("sqrt")(series(agg.spread));
    out.table = py::none();
    return out;
}

RegionalSeries NativeRegional::reduce(const Reduction& how) const {
    if (type_ == Type::Float) return reduce_stations(floats_, how);
    return reduce_stations(doubles_, how);
}

// ---- the route taken ----------------------------------------------------------

void Regional::add(const std::function<bool(NativeRegional&)>& to_kernel,
                   std::function<py::object()> series, py::handle name) {
    py::object named = py::reinterpret_borrow<py::object>(name);
    if (native_on_) {
        if (to_kernel(native_)) {
            held_.push_back({std::move(series), std::move(named)});
            return;
        }
        native_on_ = false;
        for (const Held& h : held_) library_.add(h.series(), h.name);
        held_.clear();
    }
    library_.add(series(), named);
}

RegionalSeries Regional::reduce(const Reduction& how) const {
    if (native_on_ && !native_.empty()) return native_.reduce(how);
    return library_.reduce(how);
}

}  // namespace kvelo::chronoplex
