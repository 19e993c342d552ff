// Regional aggregates of station series: each station's values averaged per
// time stamp, the stations joined over the union of their time stamps, and per
// time stamp the mean (and optionally minimum and maximum) across stations.
// Results equal the table library's groupby-mean / outer concat / row
// reductions bit for bit, summation order included, in the value type the
// library keeps: double for float64 (and integer or boolean values, which its
// group mean turns into float64), float for float32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kvelo/core/stamps.hpp"

namespace kvelo::core {

// One station's series as stored: stamps (nanoseconds, kNaT missing) and
// values (NaN missing), both of length n, in any order, stamps may repeat.
template <typename T>
struct SeriesViewOf {
    const int64_t* time;
    const T* value;
    size_t n;
};

// A series on distinct ascending stamps.
template <typename T>
struct StampSeriesOf {
    std::vector<int64_t> time;
    std::vector<T> value;
};

template <typename T>
struct RegionalAggregateOf {
    std::vector<int64_t> time;  // union of the stations' stamps, ascending
    std::vector<T> mean;        // across stations, NaN skipped
    std::vector<T> min;         // filled only when asked for
    std::vector<T> max;
    std::vector<T> spread;  // filled only when asked for: see aggregate_stations
};

using SeriesView = SeriesViewOf<double>;
using StampSeries = StampSeriesOf<double>;
using RegionalAggregate = RegionalAggregateOf<double>;

// Values sharing a stamp averaged with the compensated sum of the library's
// group mean, in the value type (missing values skipped, a stamp with none
// stays NaN; a lone -0.0 comes out +0.0 as the sum starting at +0.0 gives);
// missing stamps dropped; stamps ascending.
StampSeriesOf<double> average_duplicates(const SeriesViewOf<double>& s);
StampSeriesOf<float> average_duplicates(const SeriesViewOf<float>& s);

// True when a value is -0.0.  The library's row minimum and maximum pick
// between equal zeros by its vector lanes, which the kernel does not follow:
// such tables belong to the library.
bool has_negative_zero(const StampSeriesOf<double>& s);
bool has_negative_zero(const StampSeriesOf<float>& s);

// Stations in column order, each on distinct ascending stamps (as
// average_duplicates leaves them).  The row mean sums each row pairwise when
// the joined table holds any missing cell and column by column otherwise, as
// the library's reduction does on the layouts it builds in those two cases.
// With `with_spread`, `spread` is per stamp the mean across the stations of
// the squared deviation of a station's value from the regional mean there,
// summed as the mean is; its square root is the population standard
// deviation across the stations.
RegionalAggregateOf<double> aggregate_stations(const std::vector<StampSeriesOf<double>>& stations,
                                               bool with_range, bool with_spread);
RegionalAggregateOf<float> aggregate_stations(const std::vector<StampSeriesOf<float>>& stations,
                                              bool with_range, bool with_spread);

}  // namespace kvelo::core
