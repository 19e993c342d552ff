#include "kvelo/modules/chronoplex/station_files.hpp"

#include <vector>

#include "kvelo/glue/pyutil.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::glue;

std::string file_safe_name(const Call& c, py::handle name) {
    std::string s = str(name);
    py::object os = c.g("os");
    std::vector<std::string> seps = {"/"};
    for (const char* attr : {"sep", "altsep"}) {
        py::object sep = os.attr(attr);
        if (!sep.is_none()) seps.push_back(str(sep));
    }
    for (const std::string& sep : seps) {
        if (sep.empty()) continue;
        for (size_t at = s.find(sep); at != std::string::npos; at = s.find(sep, at + 1)) {
            s.replace(at, sep.size(), "_");
        }
    }
    return s;
}

namespace {

std::string folded(const std::string& name) { return str(py::str(name).attr("casefold")()); }

}  // namespace

StationFileNames::StationFileNames(const Call& c, const char* kind, const char* regional)
    : c_(c), kind_(kind), regional_(regional ? folded(regional) : "") {}

std::string StationFileNames::claim(py::handle sid, py::handle name) {
    const std::string wanted = file_safe_name(c_, name);
    std::string out = wanted;
    auto taken = [this](const std::string& n) {
        const std::string f = folded(n);
        return taken_.count(f) || (!regional_.empty() && f == regional_);
    };
    if (taken(out)) {
        auto holder = taken_.find(folded(out));
        const std::string suffix = "_" + file_safe_name(c_, sid);
        do {
            out += suffix;
        } while (taken(out));
        py::str others = holder != taken_.end() ? fmt("Stations {} and {}", holder->second, sid)
                                                : fmt("Station {} and the regional figure", sid);
        log_warning(c_, fmt("{} share the file name '{}'; {} of {} are named '{}'.", others,
                            py::str(wanted), kind_, sid, py::str(out)));
    }
    taken_.emplace(folded(out), py::reinterpret_borrow<py::object>(sid));
    return out;
}

}  // namespace kvelo::chronoplex
