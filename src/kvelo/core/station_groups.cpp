#include "kvelo/core/station_groups.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kvelo::core {

RowGroups group_rows(const int64_t* codes, size_t n, size_t n_groups) {
    RowGroups g;
    g.offsets.assign(n_groups + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        int64_t code = codes[i];
        if (code >= 0 && static_cast<size_t>(code) < n_groups) ++g.offsets[code + 1];
    }
    for (size_t k = 0; k < n_groups; ++k) g.offsets[k + 1] += g.offsets[k];
    g.rows.resize(static_cast<size_t>(g.offsets[n_groups]));
    std::vector<int64_t> next(g.offsets.begin(), g.offsets.end() - 1);
    for (size_t i = 0; i < n; ++i) {
        int64_t code = codes[i];
        if (code >= 0 && static_cast<size_t>(code) < n_groups) {
            g.rows[static_cast<size_t>(next[code]++)] = static_cast<int64_t>(i);
        }
    }
    return g;
}

namespace {

template <typename Key, typename IsMissing>
bool order_impl(const int64_t* rows, size_t n, const Key* key, size_t n_keys, IsMissing missing,
                std::vector<int64_t>& out) {
    out.clear();
    out.reserve(n);
    std::vector<int64_t> absent;
    bool increasing = true;
    for (size_t i = 0; i < n; ++i) {
        int64_t r = rows[i];
        if (r < 0 || static_cast<size_t>(r) >= n_keys) return false;
        if (missing(key[r])) {
            absent.push_back(r);
            continue;
        }
        if (!out.empty() && !(key[out.back()] < key[r])) increasing = false;
        out.push_back(r);
    }
    if (!increasing) {
        std::vector<std::pair<Key, int64_t>> tmp;
        tmp.reserve(out.size());
        for (int64_t r : out) tmp.emplace_back(key[r], r);
        std::sort(tmp.begin(), tmp.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (size_t i = 1; i < tmp.size(); ++i) {
            if (!(tmp[i - 1].first < tmp[i].first)) return false;  // a tie
        }
        for (size_t i = 0; i < tmp.size(); ++i) out[i] = tmp[i].second;
    }
    out.insert(out.end(), absent.begin(), absent.end());
    return true;
}

}  // namespace

bool order_by_time(const int64_t* rows, size_t n, const TimeKeys& keys, std::vector<int64_t>& out) {
    if (keys.reals) {
        return order_impl(
            rows, n, keys.reals, keys.size, [](double v) { return std::isnan(v); }, out);
    }
    const bool has_missing = keys.has_int_missing;
    const int64_t sentinel = keys.int_missing;
    return order_impl(
        rows, n, keys.ints, keys.size, [=](int64_t v) { return has_missing && v == sentinel; },
        out);
}

}  // namespace kvelo::core
