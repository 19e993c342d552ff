#include "kvelo/core/stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kvelo::core::stats {

namespace {

double abs_bound(double lo, double hi) { return std::max(std::fabs(lo), std::fabs(hi)); }

struct Range {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    void add(double v) {
        lo = v < lo ? v : lo;  // the form that maps onto vector min/max
        hi = v > hi ? v : hi;
    }
};

bool in_native_range(const Range& r) {
    return std::isfinite(r.lo) && std::isfinite(r.hi) && abs_bound(r.lo, r.hi) <= kLargest;
}

// A bound the grid sums handle: zero, or neither tiny nor huge.
bool usable(double bound) { return bound == 0 || (bound >= kSmallest && bound <= 4 * kLargest); }

// The two passes of pair_stats: four order-independent sums each, over
// blocks whose accumulators stay local so that the loops vectorise.
struct Accumulators {
    std::uint64_t h[4] = {0, 0, 0, 0}, l[4] = {0, 0, 0, 0};
};

void flush_all(GridSum (&sums)[4], Accumulators& a, std::size_t k) {
    for (int j = 0; j < 4; ++j) sums[j].flush(a.h[j], a.l[j], k);
}

void first_pass(const double* o, const double* m, std::size_t n, GridSum (&sums)[4]) {
    const double s0 = sums[0].scale(), s1 = sums[1].scale(), s2 = sums[2].scale(),
                 s3 = sums[3].scale();
    for (std::size_t b = 0; b < n; b += GridSum::kBlock) {
        const std::size_t e = std::min(n, b + GridSum::kBlock);
        std::uint64_t h0 = 0, l0 = 0, h1 = 0, l1 = 0, h2 = 0, l2 = 0, h3 = 0, l3 = 0;
        for (std::size_t i = b; i < e; ++i) {
            const double d = m[i] - o[i];
            GridSum::split(o[i] * s0, h0, l0);
            GridSum::split(m[i] * s1, h1, l1);
            GridSum::split(d * s2, h2, l2);
            GridSum::split((d * d) * s3, h3, l3);
        }
        Accumulators a{{h0, h1, h2, h3}, {l0, l1, l2, l3}};
        flush_all(sums, a, e - b);
    }
}

void second_pass(const double* o, const double* m, std::size_t n, double mean_o, double mean_m,
                 double bias, GridSum (&sums)[4]) {
    const double s0 = sums[0].scale(), s1 = sums[1].scale(), s2 = sums[2].scale(),
                 s3 = sums[3].scale();
    for (std::size_t b = 0; b < n; b += GridSum::kBlock) {
        const std::size_t e = std::min(n, b + GridSum::kBlock);
        std::uint64_t h0 = 0, l0 = 0, h1 = 0, l1 = 0, h2 = 0, l2 = 0, h3 = 0, l3 = 0;
        for (std::size_t i = b; i < e; ++i) {
            const double xm = o[i] - mean_o;
            const double ym = m[i] - mean_m;
            const double r = (o[i] - m[i]) - bias;
            GridSum::split((xm * xm) * s0, h0, l0);
            GridSum::split((ym * ym) * s1, h1, l1);
            GridSum::split((xm * ym) * s2, h2, l2);
            GridSum::split((r * r) * s3, h3, l3);
        }
        Accumulators a{{h0, h1, h2, h3}, {l0, l1, l2, l3}};
        flush_all(sums, a, e - b);
    }
}

// scipy.stats.pearsonr warns about nearly constant input below this spread
// (eps ** 0.75 of the mean); twice that leaves the decision to the library.
constexpr double kNearConstant = 2.0 * 1.8189894035458565e-12;

}  // namespace

GridSum::GridSum(double bound, std::size_t count) {
    int e = 0;
    if (bound > 0) std::frexp(bound, &e);  // bound < 2^e
    int bits = 0;
    for (std::size_t c = count; c != 0; c >>= 1) ++bits;
    unit_exp_ = e - std::min(102, 126 - bits);
    scale_ = std::ldexp(1.0, -unit_exp_);
}

void GridSum::flush(std::uint64_t& hi, std::uint64_t& lo, std::size_t k) noexcept {
    constexpr std::uint64_t magic_bits = 0x4338000000000000ULL;
    const auto h = static_cast<std::int64_t>(hi - k * magic_bits);
    const auto l = static_cast<std::int64_t>(lo - k * magic_bits);
    total_ += (static_cast<__int128>(h) << 51) + l;
    hi = lo = 0;
}

double GridSum::value() const { return std::ldexp(static_cast<double>(total_), unit_exp_); }

double GridSum::negated_value() const {
    return std::ldexp(static_cast<double>(-total_), unit_exp_);
}

std::size_t gather_pairs(const std::uint8_t* row_ok, const double* a, std::ptrdiff_t sa,
                         const double* b, std::ptrdiff_t sb, std::size_t n, double* out_a,
                         double* out_b) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = a[static_cast<std::ptrdiff_t>(i) * sa];
        const double y = b[static_cast<std::ptrdiff_t>(i) * sb];
        out_a[k] = x;
        out_b[k] = y;
        k += (row_ok[i] != 0) & !std::isnan(x) & !std::isnan(y);
    }
    return k;
}

std::size_t gather_values(const std::uint8_t* row_ok, const double* a, std::ptrdiff_t sa,
                          std::size_t n, double* out) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = a[static_cast<std::ptrdiff_t>(i) * sa];
        out[k] = x;
        k += (row_ok[i] != 0) & !std::isnan(x);
    }
    return k;
}

bool pair_stats(const double* o, const double* m, std::size_t n, PairStats& out) {
    Range ro, rm, rd;
    for (std::size_t i = 0; i < n; ++i) {
        ro.add(o[i]);
        rm.add(m[i]);
        rd.add(m[i] - o[i]);
    }
    if (n == 0 || !in_native_range(ro) || !in_native_range(rm)) return false;
    const double bo = abs_bound(ro.lo, ro.hi), bm = abs_bound(rm.lo, rm.hi);
    const double bd = abs_bound(rd.lo, rd.hi);
    if (!usable(bo) || !usable(bm) || !usable(bd)) return false;
    const double dn = static_cast<double>(n);

    GridSum first[4] = {GridSum(bo, n), GridSum(bm, n), GridSum(bd, n), GridSum(bd * bd, n)};
    first_pass(o, m, n, first);
    const double mean_o = first[0].value() / dn;
    const double mean_m = first[1].value() / dn;
    out.mb = first[2].value() / dn;
    out.bias = first[2].negated_value() / dn;  // o - m is exactly the negated m - o
    out.rmse = std::sqrt(first[3].value() / dn);
    out.mean = mean_m;
    out.min = rm.lo;
    out.max = rm.hi;

    // Deviations about the means; fl() is monotonic, so the extremes bound them.
    const double bx = abs_bound(ro.lo - mean_o, ro.hi - mean_o);
    const double by = abs_bound(rm.lo - mean_m, rm.hi - mean_m);
    const double be = abs_bound(-rd.hi - out.bias, -rd.lo - out.bias);
    if (!usable(bx) || !usable(by) || !usable(be)) return false;
    const double bias = out.bias;
    GridSum second[4] = {GridSum(bx * bx, n), GridSum(by * by, n), GridSum(bx * by, n),
                         GridSum(be * be, n)};
    second_pass(o, m, n, mean_o, mean_m, bias, second);
    GridSum &sxx = second[0], &syy = second[1], &sxy = second[2];
    out.std_dev = std::sqrt(second[3].value() / dn);

    out.r_native = false;
    out.r = std::numeric_limits<double>::quiet_NaN();
    const bool constant = ro.lo == ro.hi || rm.lo == rm.hi;
    if (!constant && bx > 0 && by > 0) {
        const double nx = std::sqrt(sxx.value());
        const double ny = std::sqrt(syy.value());
        const bool near_constant =
            nx < kNearConstant * std::fabs(mean_o) || ny < kNearConstant * std::fabs(mean_m);
        if (!near_constant) {
            out.r = std::clamp(sxy.value() / (nx * ny), -1.0, 1.0);
            out.r_native = true;
        }
    }
    return true;
}

bool sample_stats(const double* x, std::size_t n, SampleStats& out) {
    Range r;
    for (std::size_t i = 0; i < n; ++i) r.add(x[i]);
    if (n == 0 || !in_native_range(r)) return false;
    const double bx = abs_bound(r.lo, r.hi);
    if (!usable(bx)) return false;
    const double dn = static_cast<double>(n);
    GridSum s(bx, n);
    for (std::size_t i = 0; i < n; ++i) {
        s.add(x[i]);
        if ((i + 1) % GridSum::kBlock == 0) s.flush(GridSum::kBlock);
    }
    s.flush(n % GridSum::kBlock);
    const double mean = s.value() / dn;
    const double b = abs_bound(r.lo - mean, r.hi - mean);
    if (!usable(b)) return false;
    GridSum s2(b * b, n);
    for (std::size_t i = 0; i < n; ++i) {
        const double e = x[i] - mean;
        s2.add(e * e);
        if ((i + 1) % GridSum::kBlock == 0) s2.flush(GridSum::kBlock);
    }
    s2.flush(n % GridSum::kBlock);
    out.mean = mean;
    out.std_dev = std::sqrt(s2.value() / dn);
    out.min = r.lo;
    out.max = r.hi;
    return true;
}

double median_inplace(double* x, std::size_t n) {
    const std::size_t k = n / 2;
    std::nth_element(x, x + k, x + n);
    // numpy takes the mean of the middle values, a sum that starts from +0.0:
    // a median of zeros is +0.0 whatever their signs.
    const double hi = x[k];
    if (n % 2 == 1) return 0.0 + hi;
    const double lo = *std::max_element(x, x + k);
    return (0.0 + (lo + hi)) / 2.0;
}

}  // namespace kvelo::core::stats
