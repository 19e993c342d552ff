#include "kvelo/core/label_spread.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace kvelo::core {

namespace {

double lon_gap(double a, double b) {
    // Across the date line 179 and -179 are neighbours.
    double d = std::fmod(std::abs(a - b), 360.0);
    return d > 180.0 ? 360.0 - d : d;
}

}  // namespace

std::vector<size_t> spread_positions(const std::vector<double>& lon, const std::vector<double>& lat,
                                     size_t count) {
    const size_t n = std::min(lon.size(), lat.size());
    std::vector<size_t> usable;
    double mean_lat = 0.0, mean_lon = 0.0;
    for (size_t i = 0; i < n; ++i) {
        if (std::isfinite(lon[i]) && std::isfinite(lat[i])) {
            usable.push_back(i);
            mean_lat += lat[i];
            mean_lon += lon[i];
        }
    }
    count = std::min(count, usable.size());
    std::vector<size_t> chosen;
    if (count == 0) return chosen;
    mean_lat /= static_cast<double>(usable.size());
    mean_lon /= static_cast<double>(usable.size());
    const double kx = std::max(0.05, std::cos(mean_lat * std::numbers::pi / 180.0));
    auto dist2 = [&](double lon_a, double lat_a, double lon_b, double lat_b) {
        double dx = lon_gap(lon_a, lon_b) * kx, dy = lat_a - lat_b;
        return dx * dx + dy * dy;
    };

    size_t first = 0;
    double best = std::numeric_limits<double>::infinity();
    for (size_t u = 0; u < usable.size(); ++u) {
        double d = dist2(lon[usable[u]], lat[usable[u]], mean_lon, mean_lat);
        if (d < best) {
            best = d;
            first = u;
        }
    }
    // nearest[u]: squared distance of usable point u to the chosen set.
    std::vector<double> nearest(usable.size(), std::numeric_limits<double>::infinity());
    std::vector<bool> taken(usable.size(), false);
    size_t next = first;
    for (size_t k = 0; k < count; ++k) {
        taken[next] = true;
        chosen.push_back(usable[next]);
        const double x = lon[usable[next]], y = lat[usable[next]];
        double far = -1.0;
        size_t far_at = next;
        for (size_t u = 0; u < usable.size(); ++u) {
            if (taken[u]) continue;
            nearest[u] = std::min(nearest[u], dist2(lon[usable[u]], lat[usable[u]], x, y));
            if (nearest[u] > far) {
                far = nearest[u];
                far_at = u;
            }
        }
        next = far_at;
    }
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}

}  // namespace kvelo::core
