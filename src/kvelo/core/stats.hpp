// Gathering the complete rows of a collocated table on plain buffers, and the
// order statistics of the gathered values.
//
// The sums are numpy's and scipy's, computed on the arrays gathered here: a
// sum depends on the order and grouping of its terms, so the values are laid
// out exactly as the table formulation holds them (row order, contiguous
// float64) and reduced by the same library calls.  Extremes and medians depend
// only on the values, not on their order; they are computed here, and the
// caller leaves to numpy the results whose bits numpy could choose otherwise
// (a zero, whose sign depends on which equal value numpy meets first).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvelo::core::stats {

// A float64 column: n values, `stride` elements apart.
struct ColumnView {
    const double* data = nullptr;
    std::ptrdiff_t stride = 1;
    std::size_t n = 0;
    double operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
};

// The number of rows where row_ok[i] is set and both a and b are numbers (not
// NaN).  All three hold n rows.
std::size_t count_pairs(const std::uint8_t* row_ok, ColumnView a, ColumnView b);
// Copies the first `capacity` of those rows' values, in row order, to out_a
// and out_b; returns the number of such rows (which may exceed capacity).
std::size_t gather_pairs(const std::uint8_t* row_ok, ColumnView a, ColumnView b, double* out_a,
                         double* out_b, std::size_t capacity);

// The same for one column.
std::size_t count_values(const std::uint8_t* row_ok, ColumnView a);
std::size_t gather_values(const std::uint8_t* row_ok, ColumnView a, double* out,
                          std::size_t capacity);

// The smallest and the largest of n >= 1 numbers, none of them NaN.
double min_value(const double* x, std::size_t n);
double max_value(const double* x, std::size_t n);

// The median of n >= 1 numbers, none of them NaN, from the middle values as
// numpy takes their mean: (0 + x[k]) / 1 for odd n, ((0 + lo) + hi) / 2 for
// even n.  Reorders x.  `exact` is false when the result or the sum is not a
// normal number: a zero (whose sign numpy's summation decides), an overflow,
// an underflow or a NaN, which numpy may also report.
double median_inplace(double* x, std::size_t n, bool& exact);

// out[i] = in[order[i]] for i < n; every order[i] is below the length of in.
void take(const std::int64_t* order, std::size_t n, const double* in, double* out);

}  // namespace kvelo::core::stats
