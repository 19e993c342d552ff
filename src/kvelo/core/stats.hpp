// Paired-sample statistics on plain buffers: gathering the complete rows of a
// collocated table, moments, extremes, median and the correlation coefficient.
//
// Every sum goes through GridSum, whose result does not depend on the order of
// the values, so a table comes out the same however its rows are ordered.
// Results follow the two-pass formulas of numpy (mean = sum / n; standard
// deviation from the deviations about that mean, divisor n) and of
// scipy.stats.pearsonr (centred values, coefficient clipped to [-1, 1]).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvelo::core::stats {

// Order-independent sum.  Every value is put on one fixed-point grid chosen
// from a bound on the magnitudes and the number of values (about 2^-120 of the
// bound, less the head room that keeps the integer totals from overflowing),
// truncated toward zero and added as an integer.  Integer addition is
// associative, so the total is the same in any order, and the grid is far
// finer than a double's rounding.  No branch per value: the scaled value is
// split exactly into a high and a low part that each fit an int64.
class GridSum {
public:
    // Every |value| added must be <= bound; at most `count` values are added.
    GridSum(double bound, std::size_t count);
    void add(double v) noexcept {
        const double x = (v * scale1_) * scale2_;  // exact: powers of two
        const auto hi = static_cast<std::int64_t>(x * 0x1p-62);  // truncates toward zero
        const double lo = x - static_cast<double>(hi) * 0x1p62;  // exact: the low bits of x
        hi_ += hi;
        lo_ += static_cast<std::int64_t>(lo);
    }
    double value() const;
    // The sum of the negated values: exactly -value(), but +0.0 for a zero total.
    double negated_value() const;

private:
    int unit_exp_ = 0;
    double scale1_ = 1.0, scale2_ = 1.0;
    std::int64_t hi_ = 0;
    __int128 lo_ = 0;
};

// Magnitudes beyond which squares and sums could overflow or underflow; such
// samples are left to the library formulation, which also gives its warnings.
inline constexpr double kLargest = 1e100;
inline constexpr double kSmallestSpread = 1e-100;

// Copies the values of the rows where row_ok[i] is set and both a and b are
// numbers (not NaN).  Strides are in elements.  Returns the number of rows.
std::size_t gather_pairs(const std::uint8_t* row_ok, const double* a, std::ptrdiff_t sa,
                         const double* b, std::ptrdiff_t sb, std::size_t n, double* out_a,
                         double* out_b);
// The same for one column.
std::size_t gather_values(const std::uint8_t* row_ok, const double* a, std::ptrdiff_t sa,
                          std::size_t n, double* out);

struct PairStats {
    double r = 0, rmse = 0, mb = 0, bias = 0, std_dev = 0, mean = 0, min = 0, max = 0;
    // False when the coefficient must come from the library: a constant or
    // nearly constant series (the library warns about those), or a spread too
    // small for the native sums.
    bool r_native = false;
};

// Statistics of model values m against observations o (n >= 1 complete pairs,
// unchanged).  Returns false when a value is not finite or beyond kLargest.
bool pair_stats(const double* o, const double* m, std::size_t n, PairStats& out);

struct SampleStats {
    double std_dev = 0, mean = 0, min = 0, max = 0;
};
// Descriptive statistics of one sample (n >= 1); false as pair_stats.
bool sample_stats(const double* x, std::size_t n, SampleStats& out);

// Median of x (n >= 1), the mean of the two middle values for even n.
// Reorders x.
double median_inplace(double* x, std::size_t n);

}  // namespace kvelo::core::stats
