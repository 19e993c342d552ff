#include "kvelo/core/regional_series.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <numeric>

namespace kvelo::core {

StampSeries average_duplicates(const SeriesView& s) {
    std::vector<size_t> order;
    order.reserve(s.n);
    bool increasing = true;
    for (size_t i = 0; i < s.n; ++i) {
        if (s.time[i] == kNaT) continue;
        if (!order.empty() && !(s.time[order.back()] < s.time[i])) increasing = false;
        order.push_back(i);
    }
    StampSeries out;
    if (increasing) {
        out.time.reserve(order.size());
        out.value.reserve(order.size());
        for (size_t i : order) {
            out.time.push_back(s.time[i]);
            out.value.push_back(s.value[i]);
        }
        return out;
    }
    // Stable, so each stamp's values are summed in their stored order.
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return s.time[a] < s.time[b]; });
    for (size_t k = 0; k < order.size();) {
        const int64_t t = s.time[order[k]];
        double sum = 0.0, comp = 0.0;
        size_t count = 0;
        for (; k < order.size() && s.time[order[k]] == t; ++k) {
            const double v = s.value[order[k]];
            if (std::isnan(v)) continue;
            ++count;
            const double y = v - comp;
            const double tt = sum + y;
            comp = tt - sum - y;
            if (std::isnan(comp)) comp = 0.0;  // an infinite value: keep the sum infinite
            sum = tt;
        }
        out.time.push_back(t);
        out.value.push_back(count ? sum / static_cast<double>(count)
                                  : std::numeric_limits<double>::quiet_NaN());
    }
    return out;
}

namespace {

// numpy's pairwise summation of a contiguous run (blocks of 8, up to 128).
double pairwise_sum(const double* a, size_t n) {
    if (n < 8) {
        double res = -0.0;
        for (size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

}  // namespace

RegionalAggregate aggregate_stations(const std::vector<StampSeries>& stations, bool with_range) {
    RegionalAggregate out;
    // Union of stamps: merge each station in; stations sharing the union skip the merge.
    for (const StampSeries& s : stations) {
        if (s.time == out.time) continue;
        std::vector<int64_t> merged;
        merged.reserve(out.time.size() + s.time.size());
        std::set_union(out.time.begin(), out.time.end(), s.time.begin(), s.time.end(),
                       std::back_inserter(merged));
        out.time.swap(merged);
    }
    const size_t rows = out.time.size(), cols = stations.size();
    const double nan = std::numeric_limits<double>::quiet_NaN();

    // Row-major table, one row per stamp, a column per station.
    std::vector<double> cell(rows * cols, nan);
    bool any_missing = false;
    for (size_t j = 0; j < cols; ++j) {
        const StampSeries& s = stations[j];
        size_t r = 0;
        for (size_t k = 0; k < s.time.size(); ++k) {
            while (out.time[r] < s.time[k]) ++r;
            cell[r * cols + j] = s.value[k];
        }
    }
    for (double v : cell) {
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
    std::vector<double> filled(cols);
    for (size_t r = 0; r < rows; ++r) {
        const double* row = cell.data() + r * cols;
        size_t count = 0;
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (size_t j = 0; j < cols; ++j) {
            const double v = row[j];
            if (std::isnan(v)) {
                filled[j] = 0.0;
                continue;
            }
            filled[j] = v;
            ++count;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        double sum;
        if (any_missing) {
            sum = 0.0 + pairwise_sum(filled.data(), cols);
        } else {
            sum = 0.0;
            for (size_t j = 0; j < cols; ++j) sum += filled[j];
        }
        if (count) {
            out.mean[r] = sum / static_cast<double>(count);
            if (with_range) {
                out.min[r] = lo;
                out.max[r] = hi;
            }
        }
    }
    return out;
}

}  // namespace kvelo::core
