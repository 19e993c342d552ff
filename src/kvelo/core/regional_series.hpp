// Regional aggregates of station series: each station's values averaged per
// time stamp, the stations joined over the union of their time stamps, and per
// time stamp the mean (and optionally minimum and maximum) across stations.
// Results equal the table library's groupby-mean / outer concat / row
// reductions bit for bit, summation order included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvelo::core {

constexpr int64_t kNaT = INT64_MIN;

// One station's series as stored: stamps (nanoseconds, kNaT missing) and
// values (NaN missing), both of length n, in any order, stamps may repeat.
struct SeriesView {
    const int64_t* time;
    const double* value;
    size_t n;
};

// A series on distinct ascending stamps.
struct StampSeries {
    std::vector<int64_t> time;
    std::vector<double> value;
};

// Values sharing a stamp averaged with the compensated sum of the library's
// group mean (missing values skipped, a stamp with none stays NaN); missing
// stamps dropped; stamps ascending.
StampSeries average_duplicates(const SeriesView& s);

struct RegionalAggregate {
    std::vector<int64_t> time;  // union of the stations' stamps, ascending
    std::vector<double> mean;   // across stations, NaN skipped
    std::vector<double> min;    // filled only when asked for
    std::vector<double> max;
};

// Stations in column order.  The row mean sums each row pairwise when the
// joined table holds any missing cell and column by column otherwise, as the
// library's reduction does on the layouts it builds in those two cases.
RegionalAggregate aggregate_stations(const std::vector<StampSeries>& stations, bool with_range);

}  // namespace kvelo::core
