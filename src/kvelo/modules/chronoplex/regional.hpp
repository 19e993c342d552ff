// The regional aggregates of the station series and of the bias figures: each
// station's series averaged per time stamp, the stations joined side by side
// over the union of their stamps, and per stamp the mean across the stations
// (with their minimum and maximum, or their spread, when asked for).
//
// Two routes give the same numbers.  LibraryRegional is the table library's
// own formulation (groupby mean, concat along the columns, row reductions);
// NativeRegional takes the stations' stamps and values as that formulation
// would hold them and reduces them with core::aggregate_stations.  Regional
// drives both: every station goes to the native route until one is refused,
// then all go to the library: anything the kernel does not follow exactly
// goes to the library, which also raises its own errors.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/core/regional_series.hpp"

namespace kvelo::chronoplex {

namespace py = pybind11;

struct RegionalSeries {
    py::object index;  // DatetimeIndex: the stamps of the joined table
    py::object mean;   // per stamp across the stations, NaN skipped
    py::object min;    // set only when the range was asked for
    py::object max;
    py::object band;   // population standard deviation across the stations, when asked for
    py::object table;  // the joined table: the library's route only (None on the native one)
};

// How the callers' library formulations treat a station's time stamps.
enum class Duplicates {
    // Every station grouped by stamp before the join (the grouping sorts the
    // stamps, drops missing ones and averages repeats, and holds integer and
    // boolean values as float64).  The native route takes the value types
    // the grouping gives (float64, float32) and averages repeats itself.
    Averaged,
    // Grouped only when a station repeats a stamp; otherwise joined as it is,
    // in its own order and type.  The native route takes only float64 values
    // on strictly increasing stamps, where the grouping would change nothing.
    AveragedWhenRepeated,
};

// What the caller reads off the joined table.
struct Reduction {
    bool sort_rows = false;  // rows sorted by time before the reductions (the library's)
    bool range = false;      // row minimum and maximum
    bool spread = false;     // population standard deviation across the stations
};

// The library's formulation, station by station in the caller's order: each
// series grouped as `duplicates` says and named, then all joined with
// concat(axis=1) and reduced.
class LibraryRegional {
  public:
    LibraryRegional(const binding::Call& c, Duplicates duplicates)
        : c_(c), duplicates_(duplicates) {}

    // One station's series (values on its time stamps), then named `name`;
    // a null handle leaves its name as it is.
    void add(py::object series, py::handle name);

    RegionalSeries reduce(const Reduction& how) const;

  private:
    const binding::Call& c_;
    Duplicates duplicates_;
    py::list columns_;
};

class NativeRegional {
  public:
    NativeRegional(const binding::Call& c, Duplicates duplicates)
        : c_(c), duplicates_(duplicates) {}

    // One station: `stamps` its converted times (index or series), `values` a
    // numpy ndarray (exactly that type: subclasses such as masked arrays mean
    // more to the library).  What is needed is copied out before returning.
    // False when the station is not for the kernel: stamps other than naive
    // nanoseconds (or, with AveragedWhenRepeated, stamps that do not strictly
    // increase), a value dtype the library would not hold as the kernel does,
    // float32 beside float64 stations, a length other than the stamps' (the
    // library raises its own error), or a -0.0 among the averages.
    bool add(py::handle stamps, py::handle values);
    // The same for values already read as doubles (a list of floats).
    bool add(py::handle stamps, const std::vector<double>& values);

    bool empty() const { return count_ == 0; }

    // The stations' regional series, indexed by the union of their stamps
    // (ascending, whatever `how.sort_rows` says), which keeps the stamps' name
    // when all stations agree.
    RegionalSeries reduce(const Reduction& how) const;

  private:
    enum class Type { Unset, Double, Float };
    bool stamps_of(py::handle stamps, std::vector<int64_t>& out);
    template <typename T>
    bool push(std::vector<core::StampSeriesOf<T>>& into, const std::vector<int64_t>& t, const T* v,
              size_t n);
    template <typename T>
    RegionalSeries reduce_stations(const std::vector<core::StampSeriesOf<T>>& stations,
                                   const Reduction& how) const;

    const binding::Call& c_;
    Duplicates duplicates_;
    Type type_ = Type::Unset;
    size_t count_ = 0;
    py::object name_ = py::none();
    std::vector<core::StampSeriesOf<double>> doubles_;
    std::vector<core::StampSeriesOf<float>> floats_;
};

// The regional series of stations handed in one at a time, each read once:
// natively while the kernel takes every station, else by the library (the
// stations the kernel took are then handed to it too, in their order).
class Regional {
  public:
    // `native` false: the library's route from the start.
    Regional(const binding::Call& c, Duplicates duplicates, bool native = true)
        : native_(c, duplicates), library_(c, duplicates), native_on_(native) {}

    // One station: `to_kernel` offers it to the native route (false: refused),
    // `series` makes its series for the library when the library needs it,
    // `name` names its column (a null handle keeps the series' name).
    void add(const std::function<bool(NativeRegional&)>& to_kernel,
             std::function<py::object()> series, py::handle name);

    RegionalSeries reduce(const Reduction& how) const;

  private:
    struct Held {
        std::function<py::object()> series;
        py::object name;
    };
    NativeRegional native_;
    LibraryRegional library_;
    bool native_on_;
    std::vector<Held> held_;  // the stations the kernel took
};

}  // namespace kvelo::chronoplex
