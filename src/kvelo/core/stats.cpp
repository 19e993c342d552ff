#include "kvelo/core/stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kvelo::core::stats {

namespace {

int bit_width(std::size_t v) {
    int w = 0;
    while (v != 0) {
        ++w;
        v >>= 1;
    }
    return w;
}

double abs_bound(double lo, double hi) { return std::max(std::fabs(lo), std::fabs(hi)); }

struct Range {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    void add(double v) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
};

bool in_native_range(const Range& r) {
    return std::isfinite(r.lo) && std::isfinite(r.hi) && abs_bound(r.lo, r.hi) <= kLargest;
}

// scipy.stats.pearsonr warns about nearly constant input below this spread
// (eps ** 0.75 of the mean); twice that leaves the decision to the library.
constexpr double kNearConstant = 2.0 * 1.8189894035458565e-12;

}  // namespace

GridSum::GridSum(double bound, std::size_t count) {
    if (bound > 0) {
        int e = 0;
        std::frexp(bound, &e);  // bound < 2^e
        // Scaled values stay below 2^(124 - bits of count), so the high parts
        // stay below 2^(62 - bits) and their sum below 2^62.
        unit_exp_ = e - (124 - bit_width(count));
        const int up = -unit_exp_;
        const int first = std::clamp(up, -1000, 1000);
        scale1_ = std::ldexp(1.0, first);
        scale2_ = std::ldexp(1.0, up - first);
    }
}

double GridSum::value() const {
    const __int128 total = (static_cast<__int128>(hi_) << 62) + lo_;
    return std::ldexp(static_cast<double>(total), unit_exp_);
}

double GridSum::negated_value() const {
    const __int128 total = (static_cast<__int128>(hi_) << 62) + lo_;
    return std::ldexp(static_cast<double>(-total), unit_exp_);
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
    const double dn = static_cast<double>(n);

    const double bd = abs_bound(rd.lo, rd.hi);
    GridSum so(abs_bound(ro.lo, ro.hi), n), sm(abs_bound(rm.lo, rm.hi), n), sd(bd, n),
        sd2(bd * bd, n);
    for (std::size_t i = 0; i < n; ++i) {
        const double d = m[i] - o[i];
        so.add(o[i]);
        sm.add(m[i]);
        sd.add(d);
        sd2.add(d * d);
    }
    const double mean_o = so.value() / dn;
    const double mean_m = sm.value() / dn;
    const double sum_d = sd.value();
    out.mb = sum_d / dn;
    out.bias = sd.negated_value() / dn;  // o - m is exactly the negated m - o
    out.rmse = std::sqrt(sd2.value() / dn);
    out.mean = mean_m;
    out.min = rm.lo;
    out.max = rm.hi;

    // Deviations about the means; fl() is monotonic, so the extremes bound them.
    const double bx = abs_bound(ro.lo - mean_o, ro.hi - mean_o);
    const double by = abs_bound(rm.lo - mean_m, rm.hi - mean_m);
    const double be = abs_bound(-rd.hi - out.bias, -rd.lo - out.bias);
    GridSum sxx(bx * bx, n), syy(by * by, n), sxy(bx * by, n), see(be * be, n);
    for (std::size_t i = 0; i < n; ++i) {
        const double xm = o[i] - mean_o;
        const double ym = m[i] - mean_m;
        const double e = (o[i] - m[i]) - out.bias;
        sxx.add(xm * xm);
        syy.add(ym * ym);
        sxy.add(xm * ym);
        see.add(e * e);
    }
    out.std_dev = std::sqrt(see.value() / dn);

    out.r_native = false;
    out.r = std::numeric_limits<double>::quiet_NaN();
    const bool constant = ro.lo == ro.hi || rm.lo == rm.hi;
    if (!constant && bx >= kSmallestSpread && by >= kSmallestSpread) {
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
    const double dn = static_cast<double>(n);
    GridSum s(abs_bound(r.lo, r.hi), n);
    for (std::size_t i = 0; i < n; ++i) s.add(x[i]);
    const double mean = s.value() / dn;
    const double b = abs_bound(r.lo - mean, r.hi - mean);
    GridSum s2(b * b, n);
    for (std::size_t i = 0; i < n; ++i) {
        const double e = x[i] - mean;
        s2.add(e * e);
    }
    out.mean = mean;
    out.std_dev = std::sqrt(s2.value() / dn);
    out.min = r.lo;
    out.max = r.hi;
    return true;
}

double median_inplace(double* x, std::size_t n) {
    const std::size_t k = n / 2;
    std::nth_element(x, x + k, x + n);
    const double hi = x[k];
    if (n % 2 == 1) return hi;
    const double lo = *std::max_element(x, x + k);
    return (lo + hi) / 2.0;
}

}  // namespace kvelo::core::stats
