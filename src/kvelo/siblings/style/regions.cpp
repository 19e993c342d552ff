#include <map>
#include <string>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/siblings/style/style.hpp"

namespace kvelo::style {

namespace {

const std::map<std::string, std::string>& region_names() {
    static const std::map<std::string, std::string> names = {
        {"EU", "Europe"},          {"EUROPE", "Europe"},       {"GLOBAL", "Global"},
        {"GLOB", "Global"},        {"NA", "North America"},    {"NAM", "North America"},
        {"SA", "South America"},   {"SAM", "South America"},   {"AS", "Asia"},
        {"ASIA", "Asia"},          {"EAS", "East Asia"},       {"AF", "Africa"},
        {"AFR", "Africa"},         {"OC", "Oceania"},          {"AUS", "Australia"},
        {"ARCTIC", "Arctic"},      {"ANT", "Antarctica"},      {"MED", "Mediterranean"},
        {"CEU", "Central Europe"}, {"NEU", "Northern Europe"}, {"SEU", "Southern Europe"},
    };
    return names;
}

py::object get_readable_region_name(const binding::Call& c) {
    // A code that is no valid UTF-8 (a lone surrogate) names no known region
    // and comes back as it is.
    py::str code(c.arg("region"));
    if (auto key = folded_key(code, "upper")) {
        auto it = region_names().find(std::string(*key));
        if (it != region_names().end()) return binding::text(it->second);
    }
    return code;
}

}  // namespace

void add_regions(py::module_& m) {
    binding::def(m, {.name = "get_readable_region_name",
                     .params = {"region"},
                     .impl = get_readable_region_name,
                     .doc = "get_readable_region_name(region)\n\nDisplay name of a region code; "
                            "unknown codes are returned as they are."});
}

}  // namespace kvelo::style
