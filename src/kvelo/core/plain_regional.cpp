#include "kvelo/core/plain_regional.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace kvelo::core {

namespace {

// Pairwise summation with eight accumulators and blocks of 128, the order
// numpy uses along a contiguous axis.
double pairwise_sum(const double* a, size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (size_t j = 0; j < 8; ++j) r[j] = a[j];
        size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (size_t j = 0; j < 8; ++j) r[j] += a[i + j];
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

void average_duplicates(const StationSeries& s, std::vector<int64_t>& time,
                        std::vector<double>& value) {
    time.clear();
    value.clear();
    std::vector<size_t> order;
    order.reserve(s.n);
    for (size_t i = 0; i < s.n; ++i) {
        if (s.time[i] != kNaT) order.push_back(i);
    }
    // Stable: values of one stamp are summed in their original row order.
    // Station series mostly arrive sorted already.
    auto earlier = [&](size_t a, size_t b) { return s.time[a] < s.time[b]; };
    if (!std::is_sorted(order.begin(), order.end(), earlier)) {
        std::stable_sort(order.begin(), order.end(), earlier);
    }
    size_t k = 0;
    while (k < order.size()) {
        const int64_t t = s.time[order[k]];
        double sum = 0.0, comp = 0.0;
        size_t count = 0;
        for (; k < order.size() && s.time[order[k]] == t; ++k) {
            const double v = s.value[order[k]];
            if (std::isnan(v)) continue;
            ++count;
            const double y = v - comp;
            const double next = sum + y;
            comp = next - sum - y;
            // An infinite value would turn the compensation into NaN and the
            // sum with it; the infinity itself is the answer.
            if (std::isnan(comp)) comp = 0.0;
            sum = next;
        }
        time.push_back(t);
        value.push_back(count == 0 ? std::nan("") : sum / static_cast<double>(count));
    }
}

RegionalAggregate plain_regional(const std::vector<StationSeries>& stations) {
    std::vector<std::vector<int64_t>> times(stations.size());
    std::vector<std::vector<double>> values(stations.size());
    for (size_t j = 0; j < stations.size(); ++j) {
        average_duplicates(stations[j], times[j], values[j]);
    }

    // Union of sorted unique stamp lists, merged one station at a time:
    // stations mostly share their stamps, so the union stays short.
    RegionalAggregate out;
    std::vector<int64_t> merged;
    for (const auto& t : times) {
        merged.clear();
        merged.reserve(out.time.size() + t.size());
        std::set_union(out.time.begin(), out.time.end(), t.begin(), t.end(),
                       std::back_inserter(merged));
        out.time.swap(merged);
    }

    const size_t rows = out.time.size();
    const size_t cols = stations.size();
    const double inf = std::numeric_limits<double>::infinity();
    // The joined table, one row per stamp, missing cells as 0.0 (the sum's fill).
    std::vector<double> table(rows * cols, 0.0);
    std::vector<size_t> count(rows, 0);
    out.min.assign(rows, inf);
    out.max.assign(rows, -inf);
    for (size_t j = 0; j < cols; ++j) {
        // The station's stamps are a sorted subset of the union: one forward walk.
        size_t r = 0;
        for (size_t i = 0; i < times[j].size(); ++i) {
            while (out.time[r] < times[j][i]) ++r;
            const double v = values[j][i];
            if (std::isnan(v)) continue;
            table[r * cols + j] = v;
            ++count[r];
            if (v < out.min[r]) out.min[r] = v;
            if (v > out.max[r]) out.max[r] = v;
        }
    }
    // The library fills missing cells only when the table has any; the filled
    // copy is summed row by row pairwise, the untouched one column by column.
    bool any_missing = false;
    for (size_t r = 0; r < rows && !any_missing; ++r) any_missing = count[r] < cols;
    out.mean.resize(rows);
    for (size_t r = 0; r < rows; ++r) {
        const double* row = table.data() + r * cols;
        double sum = 0.0;
        if (any_missing) {
            sum += pairwise_sum(row, cols);
        } else {
            for (size_t j = 0; j < cols; ++j) sum += row[j];
        }
        if (count[r] == 0) {
            out.mean[r] = out.min[r] = out.max[r] = std::nan("");
        } else {
            out.mean[r] = sum / static_cast<double>(count[r]);
        }
    }
    return out;
}

}  // namespace kvelo::core
