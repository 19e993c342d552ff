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

// Per row of a row-major table: the mean of its cells, NaN skipped, and with
// `lo`/`hi` its minimum and maximum.  Rows are summed pairwise when any cell of
// the table is missing and column by column otherwise, as the library's
// reduction does on the layouts it builds in those two cases.
template <typename T>
void reduce_rows(const std::vector<T>& cell, size_t rows, size_t cols, std::vector<T>& mean,
                 std::vector<T>* lo, std::vector<T>* hi) {
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const bool any_missing =
        std::any_of(cell.begin(), cell.end(), [](T v) { return std::isnan(v); });
    mean.assign(rows, nan);
    if (lo) lo->assign(rows, nan);
    if (hi) hi->assign(rows, nan);
    std::vector<T> filled(cols);
    for (size_t r = 0; r < rows; ++r) {
        const T* row = cell.data() + r * cols;
        size_t count = 0;
        T low = std::numeric_limits<T>::infinity(), high = -low;
        for (size_t j = 0; j < cols; ++j) {
            const T v = row[j];
            if (std::isnan(v)) {
                filled[j] = 0;
                continue;
            }
            filled[j] = v;
            ++count;
            low = std::min(low, v);
            high = std::max(high, v);
        }
        T sum;
        if (any_missing) {
            sum = T(0) + pairwise_sum(filled.data(), cols);
        } else {
            sum = 0;
            for (size_t j = 0; j < cols; ++j) sum += filled[j];
        }
        if (count) {
            mean[r] = sum / static_cast<T>(count);
            if (lo) (*lo)[r] = low;
            if (hi) (*hi)[r] = high;
        }
    }
}

template <typename T>
RegionalAggregateOf<T> aggregate_stations_impl(const std::vector<StampSeriesOf<T>>& stations,
                                               bool with_range, bool with_spread) {
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

    // Row-major table, one row per stamp, a column per station.
    std::vector<T> cell(rows * cols, std::numeric_limits<T>::quiet_NaN());
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
    reduce_rows(cell, rows, cols, out.mean, with_range ? &out.min : nullptr,
                with_range ? &out.max : nullptr);
    if (with_spread) {
        // The table of squared deviations from the row mean (missing cells stay
        // missing), reduced as the table itself.
        for (size_t r = 0; r < rows; ++r) {
            for (size_t j = 0; j < cols; ++j) {
                T& v = cell[r * cols + j];
                const T d = v - out.mean[r];
                v = d * d;
            }
        }
        reduce_rows<T>(cell, rows, cols, out.spread, nullptr, nullptr);
    }
    return out;
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
                                               bool with_range, bool with_spread) {
    return aggregate_stations_impl(stations, with_range, with_spread);
}
RegionalAggregateOf<float> aggregate_stations(const std::vector<StampSeriesOf<float>>& stations,
                                              bool with_range, bool with_spread) {
    return aggregate_stations_impl(stations, with_range, with_spread);
}

}  // namespace kvelo::core
