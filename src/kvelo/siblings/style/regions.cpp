#include <algorithm>
#include <cctype>
#include <map>
#include <string>

#include "kvelo/glue/pyutil.hpp"
#include "kvelo/siblings/style/style.hpp"

namespace kvelo::style {

namespace {

const std::map<std::string, std::string>& region_names() {
    static const std::map<std::string, std::string> names = {
        {"EU", "Europe"},          {"EUROPE", "Europe"},        {"GLOBAL", "Global"},
        {"GLOB", "Global"},        {"NA", "North America"},     {"NAM", "North America"},
        {"SA", "South America"},   {"SAM", "South America"},    {"AS", "Asia"},
        {"ASIA", "Asia"},          {"EAS", "East Asia"},        {"AF", "Africa"},
        {"AFR", "Africa"},         {"OC", "Oceania"},           {"AUS", "Australia"},
        {"ARCTIC", "Arctic"},      {"ANT", "Antarctica"},       {"MED", "Mediterranean"},
        {"CEU", "Central Europe"}, {"NEU", "Northern Europe"},  {"SEU", "Southern Europe"},
    };
    return names;
}

py::object get_readable_region_name(const glue::Call& c) {
    std::string code = glue::str(c[0]);
    std::string key = code;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
    auto it = region_names().find(key);
    return py::str(it == region_names().end() ? code : it->second);
}

}  // namespace

void add_regions(py::module_& m) {
    glue::def(m, {.name = "get_readable_region_name",
                  .params = {"region"},
                  .impl = get_readable_region_name,
                  .doc = "get_readable_region_name(region)\n\nDisplay name of a region code; "
                         "unknown codes are returned as they are."});
}

}  // namespace kvelo::style
