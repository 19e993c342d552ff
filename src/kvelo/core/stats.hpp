// Gathering the complete rows of a collocated table on plain buffers.
//
// The statistics themselves are numpy's and scipy's, computed on the arrays
// gathered here: a sum depends on the order and grouping of its terms, so the
// values are laid out exactly as the table formulation holds them (row order,
// contiguous float64) and reduced by the same library calls.
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

// out[i] = in[order[i]] for i < n; every order[i] is below the length of in.
void take(const std::int64_t* order, std::size_t n, const double* in, double* out);

}  // namespace kvelo::core::stats
