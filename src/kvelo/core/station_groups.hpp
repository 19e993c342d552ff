// Grouping the rows of a long station table by station, and ordering each
// station's rows by time, in time linear in the number of rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kvelo/core/stamps.hpp"

namespace kvelo::core {

// Row positions bucketed by group: the rows of group g are
// rows[offsets[g] .. offsets[g + 1]), in table order.
struct RowGroups {
    std::vector<int64_t> offsets;
    std::vector<int64_t> rows;

    size_t count(size_t g) const { return static_cast<size_t>(offsets[g + 1] - offsets[g]); }
    const int64_t* begin(size_t g) const { return rows.data() + offsets[g]; }
};

// One pass over `codes` (group number per row, negative for rows that belong
// to no group) plus a prefix sum; a counting sort, so table order is kept.
RowGroups group_rows(const int64_t* codes, size_t n, size_t n_groups);

// Time keys of a table column, for ordering rows natively.
struct TimeKeys {
    const int64_t* ints = nullptr;  // stamps or integers; `int_missing` marks NaT
    const double* reals = nullptr;  // floating point; NaN is missing
    size_t size = 0;                // number of keys the buffer holds
    bool has_int_missing = false;
    int64_t int_missing = kNaT;
};

// Writes to `out` the positions of `rows` ordered ascending by key, the rows
// with a missing key last in table order (how the table library places them).
// Returns false, with `out` in no particular order, when two present keys
// are equal: the library's default sort is not stable, so the order of ties
// must come from the library itself.  Also false for a row the keys do not
// reach (a key column shorter than the grouping): never read past them.
bool order_by_time(const int64_t* rows, size_t n, const TimeKeys& keys, std::vector<int64_t>& out);

}  // namespace kvelo::core
