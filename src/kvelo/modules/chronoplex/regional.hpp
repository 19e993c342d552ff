// The native route of the regional aggregates that the plain and the
// collocated figures share: each station's stamps and values are taken as the
// library's group mean would hold them (float64, or float32 when every station
// is float32), averaged per stamp at once, and the stations reduced across by
// core::aggregate_stations into the library's Series.  Anything the kernel does
// not follow exactly is refused, and the caller takes the library's route.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "kvelo/core/regional_series.hpp"
#include "kvelo/binding/function.hpp"

namespace kvelo::chronoplex {

namespace py = pybind11;

struct RegionalSeries {
    py::object index;  // DatetimeIndex, ascending union of stamps
    py::object mean;
    py::object min;  // set only when the range was asked for
    py::object max;
};

class RegionalGather {
  public:
    explicit RegionalGather(const binding::Call& c) : c_(c) {}

    // One station: `stamps` its converted times (index or series), `values` a
    // numpy ndarray (exactly that type: subclasses such as masked arrays mean
    // more to the library).  What is needed is copied out before returning.
    // False when the station is not for the kernel: stamps other than naive
    // nanoseconds, a value dtype the library's group mean does not hold as
    // float64 or float32, float32 beside float64 stations, a length other
    // than the stamps' (the library raises its own error), or a -0.0 among
    // the averages.
    bool add(py::handle stamps, py::handle values);
    // The same for values already read as doubles (a list of floats).
    bool add(py::handle stamps, const std::vector<double>& values);

    bool empty() const { return count_ == 0; }

    // The stations' regional mean (and minimum and maximum), indexed by the
    // union of their stamps, which keeps the stamps' name when all agree.
    RegionalSeries reduce(bool with_range) const;

  private:
    enum class Type { Unset, Double, Float };
    bool stamps_of(py::handle stamps, std::vector<int64_t>& out);
    template <typename T>
    bool push(std::vector<core::StampSeriesOf<T>>& into, const std::vector<int64_t>& t, const T* v,
              size_t n);

    const binding::Call& c_;
    Type type_ = Type::Unset;
    size_t count_ = 0;
    py::object name_ = py::none();
    std::vector<core::StampSeriesOf<double>> doubles_;
    std::vector<core::StampSeriesOf<float>> floats_;
};

}  // namespace kvelo::chronoplex
