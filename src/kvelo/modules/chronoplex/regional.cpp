#include "kvelo/modules/chronoplex/regional.hpp"

#include <pybind11/numpy.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "kvelo/binding/arrays.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/binding/values.hpp"

namespace kvelo::chronoplex {

using binding::to_array;
using namespace pybind11::literals;

namespace {

template <typename T>
using Contiguous = py::array_t<T, py::array::c_style | py::array::forcecast>;

}  // namespace

bool RegionalGather::stamps_of(py::handle stamps, std::vector<int64_t>& out) {
    py::object dtype = binding::getattr_or(stamps, "dtype", py::none());
    if (dtype.is_none() || !binding::str_is(dtype, "datetime64[ns]")) return false;
    py::object arr = c_.g("np").attr("asarray")(stamps);
    if (!py::isinstance<py::array>(arr) || py::array(arr).dtype().kind() != 'M') return false;
    // Converted, not ensured: a failure (memory) is the interpreter's error.
    Contiguous<int64_t> a(arr.attr("view")("i8"));
    if (a.ndim() != 1) return false;
    out.assign(a.data(), a.data() + a.size());

    // The joined table keeps the stamps' name only when all stations agree.
    py::object name = binding::getattr_or(stamps, "name", py::none());
    if (count_ == 0) {
        name_ = name;
    } else if (!name_.is_none() && !name_.equal(name)) {
        name_ = py::none();
    }
    return true;
}

template <typename T>
bool RegionalGather::push(std::vector<core::StampSeriesOf<T>>& into, const std::vector<int64_t>& t,
                          const T* v, size_t n) {
    const Type want = std::is_same_v<T, float> ? Type::Float : Type::Double;
    if ((type_ != Type::Unset && type_ != want) || n != t.size()) return false;
    into.push_back(core::average_duplicates(core::SeriesViewOf<T>{t.data(), v, n}));
    if (core::has_negative_zero(into.back())) return false;
    type_ = want;
    ++count_;
    return true;
}

bool RegionalGather::add(py::handle stamps, py::handle values) {
    if (!py::type::handle_of(values).is(c_.g("np").attr("ndarray"))) return false;
    std::vector<int64_t> t;
    if (!stamps_of(stamps, t)) return false;
    // From here on no call reaches Python code: the values are read as they
    // are now.
    py::array arr = py::reinterpret_borrow<py::array>(values);
    if (arr.ndim() != 1) return false;
    const char kind = arr.dtype().kind();
    const auto size = arr.dtype().itemsize();
    if (kind == 'f' && size == 4) {
        Contiguous<float> v(arr);
        return push(floats_, t, v.data(), static_cast<size_t>(v.size()));
    }
    // The library's group mean turns integers and booleans into float64.
    if ((kind == 'f' && size == 8) || kind == 'i' || kind == 'u' || kind == 'b') {
        Contiguous<double> v(arr);
        return push(doubles_, t, v.data(), static_cast<size_t>(v.size()));
    }
    return false;
}

bool RegionalGather::add(py::handle stamps, const std::vector<double>& values) {
    std::vector<int64_t> t;
    return stamps_of(stamps, t) && push(doubles_, t, values.data(), values.size());
}

RegionalSeries RegionalGather::reduce(bool with_range) const {
    py::object pd = c_.g("pd");
    auto finish = [&](const auto& agg) {
        RegionalSeries out;
        out.index =
            pd.attr("DatetimeIndex")(to_array(agg.time).attr("view")("M8[ns]"), "name"_a = name_);
        auto series = [&](const auto& v) {
            return pd.attr("Series")(to_array(v), "index"_a = out.index);
        };
        out.mean = series(agg.mean);
        if (with_range) {
            out.min = series(agg.min);
            out.max = series(agg.max);
        }
        return out;
    };
    if (type_ == Type::Float) {
        core::RegionalAggregateOf<float> agg;
        {
            py::gil_scoped_release release;
            agg = core::aggregate_stations(floats_, with_range);
        }
        return finish(agg);
    }
    core::RegionalAggregateOf<double> agg;
    {
        py::gil_scoped_release release;
        agg = core::aggregate_stations(doubles_, with_range);
    }
    return finish(agg);
}

}  // namespace kvelo::chronoplex
