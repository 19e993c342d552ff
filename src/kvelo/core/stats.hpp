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

// Order-independent sum.  Every value is put on one fixed-point grid, 2^-102
// of a power of two above the bound on the magnitudes (one bit coarser per
// doubling of the count beyond 2^24 values, so the total fits 127 bits),
// rounded to the nearest grid point and added as an integer.  Integer addition
// is associative, so the total is the same in any order, and the grid is far
// finer than a double's rounding.  The scaled value is split exactly into two
// integers below 2^51, read off with the 1.5 * 2^52 rounding constant; no
// branch and no conversion instruction per value, so the loops vectorise.
//
// The per-block integers wrap in 64 bits; the caller calls flush(k) after at
// most kBlock values, which keeps every block total below 2^62.
class GridSum {
public:
    static constexpr std::size_t kBlock = 2048;

    // Every |value| added must be <= bound, a finite number that is 0 or at
    // least 1e-200; at most `count` values are added.
    GridSum(double bound, std::size_t count);
    void add(double v) noexcept { split(v * scale_, hi_, lo_); }
    // The integer parts of x = v * scale() (|x| < 2^102), added to two block
    // accumulators; loops that keep the accumulators local vectorise.
    static void split(double x, std::uint64_t& hi, std::uint64_t& lo) noexcept {
        const double th = x * 0x1p-51 + kMagic;
        const double low = x - (th - kMagic) * 0x1p51;  // exact, |low| <= 2^50
        hi += __builtin_bit_cast(std::uint64_t, th);
        lo += __builtin_bit_cast(std::uint64_t, low + kMagic);
    }
    double scale() const noexcept { return scale_; }
    // Moves the block totals of the last k values into the 128-bit total.
    void flush(std::size_t k) noexcept { flush(hi_, lo_, k); }
    void flush(std::uint64_t& hi, std::uint64_t& lo, std::size_t k) noexcept;
    double value() const;
    // The sum of the negated values: exactly -value(), but +0.0 for a zero total.
    double negated_value() const;

private:
    static constexpr double kMagic = 0x1.8p52;
    int unit_exp_ = 0;
    double scale_ = 1.0;
    std::uint64_t hi_ = 0, lo_ = 0;
    __int128 total_ = 0;
};

// Magnitudes outside which squares and sums could overflow or underflow; such
// samples are left to the library formulation, which also gives its warnings.
inline constexpr double kLargest = 1e100;
inline constexpr double kSmallest = 1e-100;

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
