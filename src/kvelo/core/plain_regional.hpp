// Regional aggregate of plain station series: per-station duplicate stamps
// averaged, stations joined on the union of their stamps, then the mean,
// minimum and maximum across stations at every stamp (missing cells skipped).
//
// The sums follow the table library's order of operations so the results are
// the same bit for bit: compensated (Kahan) sums for the duplicate averages,
// and for the row mean numpy's pairwise sum when the joined table has missing
// cells, a sum in station order when it has none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace kvelo::core {

// Missing time stamp (NaT) as its 64-bit integer form.
inline constexpr int64_t kNaT = std::numeric_limits<int64_t>::min();

// One station's observations: `n` time stamps and values, any order.
struct StationSeries {
    const int64_t* time;
    const double* value;
    size_t n;
};

struct RegionalAggregate {
    std::vector<int64_t> time;  // union of the stamps, ascending, NaT left out
    std::vector<double> mean;   // NaN where every station is missing
    std::vector<double> min;
    std::vector<double> max;
};

// One station's series reduced to ascending unique stamps with the mean of
// the values at each (NaN values skipped; NaN when a stamp has no value).
void average_duplicates(const StationSeries& s, std::vector<int64_t>& time,
                        std::vector<double>& value);

RegionalAggregate plain_regional(const std::vector<StationSeries>& stations);

}  // namespace kvelo::core
