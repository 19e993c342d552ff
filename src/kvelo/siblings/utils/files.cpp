// Dates in observation file names and short summaries of loaded datasets.
#include <cctype>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/module.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/log.hpp"
#include "kvelo/siblings/utils/utils.hpp"

namespace kvelo::utils {

namespace {

using binding::Call;
using binding::fmt;

struct Date {
    int year, month, day;  // day 0: a month without a day
    int hour = 0, minute = 0, second = 0;
};

struct DigitRun {
    size_t begin, end;
};

std::vector<DigitRun> digit_runs(const std::string& s) {
    std::vector<DigitRun> runs;
    size_t i = 0;
    while (i < s.size()) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
        runs.push_back({i, j});
        i = j;
    }
    return runs;
}

int number(const std::string& s, size_t begin, size_t len) {
    return std::stoi(s.substr(begin, len));
}

// A calendar date (day 0: the month alone) of the Gregorian calendar; m and d
// are two-digit numbers.
std::optional<Date> valid(int y, int m, int d) {
    // Years outside this range are station numbers or counters, not dates.
    if (y < 1900 || y > 2100) return std::nullopt;
    const std::chrono::year_month month{std::chrono::year{y},
                                        std::chrono::month{static_cast<unsigned>(m)}};
    const bool ok = d == 0 ? month.ok() : (month / std::chrono::day{static_cast<unsigned>(d)}).ok();
    if (!ok) return std::nullopt;
    return Date{y, m, d};
}

bool is_sep(char ch) { return ch == '-' || ch == '_' || ch == '.'; }

// Runs r[i], r[i+1] joined by exactly one separator character.
bool joined(const std::string& s, const std::vector<DigitRun>& r, size_t i) {
    return i + 1 < r.size() && r[i + 1].begin == r[i].end + 1 && is_sep(s[r[i].end]);
}

size_t len(const DigitRun& r) { return r.end - r.begin; }

// Full dates first (20240115, 2024-01-15, 2024_01_15, 2024.01.15, and
// 2024011512, 202401151230, 20240115123000 with the time of day), then
// months (202401, 2024-01), each scanned from the left; digit runs of other
// lengths are not dates.
std::optional<Date> find_date(const std::string& s) {
    const std::vector<DigitRun> r = digit_runs(s);
    for (size_t i = 0; i < r.size(); ++i) {
        const size_t n = len(r[i]);
        if (n == 8 || n == 10 || n == 12 || n == 14) {
            // Hourly files carry the hour (and minutes, seconds) after the day.
            auto d = valid(number(s, r[i].begin, 4), number(s, r[i].begin + 4, 2),
                           number(s, r[i].begin + 6, 2));
            int hms[3] = {0, 0, 0};
            for (size_t k = 0; 8 + 2 * k < n; ++k) hms[k] = number(s, r[i].begin + 8 + 2 * k, 2);
            if (d && hms[0] < 24 && hms[1] < 60 && hms[2] < 60) {
                d->hour = hms[0];
                d->minute = hms[1];
                d->second = hms[2];
                return d;
            }
        }
        if (len(r[i]) == 4 && joined(s, r, i) && len(r[i + 1]) == 2 && joined(s, r, i + 1) &&
            len(r[i + 2]) == 2 && s[r[i].end] == s[r[i + 1].end]) {
            auto d = valid(number(s, r[i].begin, 4), number(s, r[i + 1].begin, 2),
                           number(s, r[i + 2].begin, 2));
            if (d) return d;
        }
    }
    for (size_t i = 0; i < r.size(); ++i) {
        if (len(r[i]) == 6) {
            auto d = valid(number(s, r[i].begin, 4), number(s, r[i].begin + 4, 2), 0);
            if (d) return d;
        }
        if (len(r[i]) == 4 && joined(s, r, i) && s[r[i].end] != '.' && len(r[i + 1]) == 2) {
            auto d = valid(number(s, r[i].begin, 4), number(s, r[i + 1].begin, 2), 0);
            if (d) return d;
        }
    }
    return std::nullopt;
}

py::object extract_date_from_filename(const Call& c) {
    // str(basename) stays Python text for the messages; its lossless bytes
    // are scanned, in which ASCII digits and separators read as in the text.
    py::str name(c.arg("basename"));
    const py::object& debug = c.arg("debug");
    std::optional<Date> d = find_date(binding::text_key(name));
    if (!d) {
        if (binding::truthy(debug))
            shared::log_debug(c, fmt("No date found in file name {}", name));
        return py::none();
    }
    py::object ts = py::module_::import("pandas").attr("Timestamp")(
        d->year, d->month, d->day == 0 ? 1 : d->day, d->hour, d->minute, d->second);
    if (binding::truthy(debug))
        shared::log_debug(c, fmt("Date {} taken from file name {}", ts, name));
    return ts;
}

py::object summarize_observation_dataset(const Call& c) {
    if (!binding::truthy(c.arg("debug"))) return py::none();
    const py::object& ds = c.arg("ds");
    py::object sizes = py::dict(ds.attr("sizes"));
    shared::log_debug(c, fmt("Dataset summary for {}", c.arg("path")));
    shared::log_debug(c, fmt("  dimensions: {}", sizes));
    shared::log_debug(c, fmt("  coordinates: {}", py::list(ds.attr("coords"))));
    shared::log_debug(c, fmt("  data variables: {}", py::list(ds.attr("data_vars"))));
    // A decoded time coordinate gives the covered period; raw numeric times
    // (NetCDF opened without time decoding) are left out.
    for (py::handle name : ds.attr("coords")) {
        py::object coord = ds[name];
        // size, not len(): a scalar coordinate has no length.
        if (!binding::text_is(coord.attr("dtype").attr("kind"), "M")) continue;
        py::object size = coord.attr("size");
        if (binding::equals(size, py::int_(0))) continue;
        shared::log_debug(c, fmt("  {}: {} to {}", name, coord.attr("min")().attr("values"),
                                 coord.attr("max")().attr("values")));
    }
    return py::none();
}

}  // namespace

void add_files(py::module_& m) {
    binding::import_as(m, "logging", "logging");
    binding::def(m, {.name = "extract_date_from_filename",
                     .params = {"basename", {"debug", py::bool_(false)}},
                     .impl = extract_date_from_filename,
                     .doc = "extract_date_from_filename(basename, debug=False)\n\n"
                            "The date in a file name as a pandas Timestamp (20240115, 2024-01-15, "
                            "2024_01_15, 2024.01.15; 2024011512 and longer add the time of day; a "
                            "month 202401 or 2024-01 gives its first day), or None."});
    binding::def(m, {.name = "summarize_observation_dataset",
                     .params = {"ds", "path", {"debug", py::bool_(true)}},
                     .impl = summarize_observation_dataset,
                     .doc = "summarize_observation_dataset(ds, path, debug=True)\n\n"
                            "Logs the dimensions, coordinates, data variables and time span of a "
                            "loaded observation dataset at debug level."});
}

}  // namespace kvelo::utils
