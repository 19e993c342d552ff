#include "kvelo/core/stats.hpp"

#include <algorithm>
#include <cmath>

namespace kvelo::core::stats {

namespace {

bool complete(const std::uint8_t* row_ok, ColumnView a, ColumnView b, std::size_t i) {
    return (row_ok[i] != 0) & !std::isnan(a[i]) & !std::isnan(b[i]);
}

}  // namespace

std::size_t count_pairs(const std::uint8_t* row_ok, ColumnView a, ColumnView b) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < a.n; ++i) k += complete(row_ok, a, b, i);
    return k;
}

std::size_t gather_pairs(const std::uint8_t* row_ok, ColumnView a, ColumnView b, double* out_a,
                         double* out_b, std::size_t capacity) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < a.n; ++i) {
        if (complete(row_ok, a, b, i)) {
            if (k < capacity) {
                out_a[k] = a[i];
                out_b[k] = b[i];
            }
            ++k;
        }
    }
    return k;
}

std::size_t count_values(const std::uint8_t* row_ok, ColumnView a) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < a.n; ++i) k += (row_ok[i] != 0) & !std::isnan(a[i]);
    return k;
}

std::size_t gather_values(const std::uint8_t* row_ok, ColumnView a, double* out,
                          std::size_t capacity) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < a.n; ++i) {
        if ((row_ok[i] != 0) & !std::isnan(a[i])) {
            if (k < capacity) out[k] = a[i];
            ++k;
        }
    }
    return k;
}

double min_value(const double* x, std::size_t n) {
    double lo = x[0];
    for (std::size_t i = 1; i < n; ++i) lo = x[i] < lo ? x[i] : lo;
    return lo;
}

double max_value(const double* x, std::size_t n) {
    double hi = x[0];
    for (std::size_t i = 1; i < n; ++i) hi = x[i] > hi ? x[i] : hi;
    return hi;
}

double median_inplace(double* x, std::size_t n, bool& exact) {
    const std::size_t k = n / 2;
    std::nth_element(x, x + k, x + n);
    double sum = 0.0 + x[k];
    if (n % 2 == 0) sum = (0.0 + *std::max_element(x, x + k)) + x[k];
    const double median = n % 2 == 0 ? sum / 2.0 : sum;
    exact = std::isnormal(sum) && std::isnormal(median);
    return median;
}

void take(const std::int64_t* order, std::size_t n, const double* in, double* out) {
    // Scattered reads: ask for the values a little ahead of their use.
    constexpr std::size_t ahead = 32;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + ahead < n) __builtin_prefetch(in + order[i + ahead]);
        out[i] = in[order[i]];
    }
}

}  // namespace kvelo::core::stats
