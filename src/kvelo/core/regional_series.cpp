#include "kvelo/core/regional_series.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <numeric>

namespace kvelo::core {

namespace {

template <typename T>
StampSeriesOf<T> average_duplicates_impl(const SeriesViewOf<T>& s) {
    std::vector<size_t> order;
    order.reserve(s.n);
    bool increasing = true;
    for (size_t i = 0; i < s.n; ++i) {
        if (s.time[i] == kNaT) continue;
        if (!order.empty() && !(s.time[order.back()] < s.time[i])) increasing = false;
        order.push_back(i);
    }
    StampSeriesOf<T> out;
    if (increasing) {
        out.time.reserve(order.size());
        out.value.reserve(order.size());
        for (size_t i : order) {
            out.time.push_back(s.time[i]);
            // A group of one: the compensated sum starts at +0.0 and adds the
            // value once, dividing by one changes nothing.
            out.value.push_back(T(0) + s.value[i]);
        }
        return out;
    }
    // Stable, so each stamp's values are summed in their stored order.
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return s.time[a] < s.time[b]; });
    for (size_t k = 0; k < order.size();) {
        const int64_t t = s.time[order[k]];
        T sum = 0, comp = 0;
        size_t count = 0;
        for (; k < order.size() && s.time[order[k]] == t; ++k) {
            const T v = s.value[order[k]];
            if (std::isnan(v)) continue;
            ++count;
            const T y = v - comp;
            const T tt = sum + y;
            comp = tt - sum - y;
            if (std::isnan(comp)) comp = 0;  // an infinite value: keep the sum infinite
            sum = tt;
        }
        out.time.push_back(t);
        out.value.push_back(count ? sum / static_cast<T>(count)
                                  : std::numeric_limits<T>::quiet_NaN());
    }
    return out;
}

// numpy's pairwise summation of a contiguous run (blocks of 8, up to 128),
// with accumulators of the value type.
template <typename T>
T pairwise_sum(const T* a, size_t n) {
    if (n < 8) {
        T res = -0.0;
        for (size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        T r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        }
        T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

template <typename T>
bool has_negative_zero_impl(const StampSeriesOf<T>& s) {
    return std::any_of(s.value.begin(), s.value.end(),
                       [](T v) { return v == 0 && std::signbit(v); });
}

template <typename T>
RegionalAggregateOf<T> aggregate_stations_impl(const std::vector<StampSeriesOf<T>>& stations,
                                               bool with_range) {
    RegionalAggregateOf<T> out;
    // Union of stamps: merge each station in; stations sharing the union skip the merge.
    for (const StampSeriesOf<T>& s : stations) {
        if (s.time == out.time) continue;
        std::vector<int64_t> merged;
        merged.reserve(out.time.size() + s.time.size());
        std::set_union(out.time.begin(), out.time.end(), s.time.begin(), s.time.end(),
                       std::back_inserter(merged));
        out.time.swap(merged);
    }
    const size_t rows = out.time.size(), cols = stations.size();
    const T nan = std::numeric_limits<T>::quiet_NaN();

    // Row-major table, one row per stamp, a column per station.
    std::vector<T> cell(rows * cols, nan);
    bool any_missing = false;
    for (size_t j = 0; j < cols; ++j) {
        const StampSeriesOf<T>& s = stations[j];
        const size_t n = std::min(s.time.size(), s.value.size());
        size_t r = 0;
        for (size_t k = 0; k < n; ++k) {
            while (r < rows && out.time[r] < s.time[k]) ++r;
            if (r == rows) break;  // stamps out of order: nothing beyond the table
            cell[r * cols + j] = s.value[k];
        }
    }
    for (T v : cell) {
        if (std::isnan(v)) {
            any_missing = true;
            break;
        }
    }

    out.mean.assign(rows, nan);
    if (with_range) {
        out.min.assign(rows, nan);
        out.max.assign(rows, nan);
    }
    std::vector<T> filled(cols);
    for (size_t r = 0; r < rows; ++r) {
        const T* row = cell.data() + r * cols;
        size_t count = 0;
        T lo = std::numeric_limits<T>::infinity(), hi = -lo;
        for (size_t j = 0; j < cols; ++j) {
            const T v = row[j];
            if (std::isnan(v)) {
                filled[j] = 0;
                continue;
            }
            filled[j] = v;
            ++count;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        T sum;
        if (any_missing) {
            sum = T(0) + pairwise_sum(filled.data(), cols);
        } else {
            sum = 0;
            for (size_t j = 0; j < cols; ++j) sum += filled[j];
        }
        if (count) {
            out.mean[r] = sum / static_cast<T>(count);
            if (with_range) {
                out.min[r] = lo;
                out.max[r] = hi;
            }
        }
    }
    return out;
}

template <typename T>
std::vector<T> mean_square_deviations_impl(std::vector<StampSeriesOf<T>>& stations,
                                           const RegionalAggregateOf<T>& agg) {
    for (StampSeriesOf<T>& s : stations) {
        size_t row = 0;
        for (size_t k = 0; k < s.time.size(); ++k) {
            // Every stamp of a station is in the union, at or after `row`.
            while (row + 1 < agg.time.size() && agg.time[row] < s.time[k]) ++row;
            const T d = s.value[k] - agg.mean[row];
            s.value[k] = d * d;
        }
    }
    return aggregate_stations_impl(stations, false).mean;
}

}  // namespace

StampSeriesOf<double> average_duplicates(const SeriesViewOf<double>& s) {
    return average_duplicates_impl(s);
}
StampSeriesOf<float> average_duplicates(const SeriesViewOf<float>& s) {
    return average_duplicates_impl(s);
}

bool has_negative_zero(const StampSeriesOf<double>& s) { return has_negative_zero_impl(s); }
bool has_negative_zero(const StampSeriesOf<float>& s) { return has_negative_zero_impl(s); }

RegionalAggregateOf<double> aggregate_stations(const std::vector<StampSeriesOf<double>>& stations,
                                               bool with_range) {
    return aggregate_stations_impl(stations, with_range);
}
RegionalAggregateOf<float> aggregate_stations(const std::vector<StampSeriesOf<float>>& stations,
                                              bool with_range) {
    return aggregate_stations_impl(stations, with_range);
}

std::vector<double> mean_square_deviations(std::vector<StampSeriesOf<double>>& stations,
                                           const RegionalAggregateOf<double>& agg) {
    return mean_square_deviations_impl(stations, agg);
}
std::vector<float> mean_square_deviations(std::vector<StampSeriesOf<float>>& stations,
                                          const RegionalAggregateOf<float>& agg) {
    return mean_square_deviations_impl(stations, agg);
}

}  // namespace kvelo::core
