#include "kvelo/modules/chronoplex/station_files.hpp"

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/log.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::binding;
using namespace kvelo::shared;

py::str file_safe_name(const Call& c, py::handle name) {
    // Kept as Python text throughout: names may hold any character a file
    // name can (surrogate-escaped bytes included).
    py::object s = py::str(name);
    py::object os = c.g("os");
    py::list seps;
    seps.append(py::str("/"));
    for (const char* attr : {"sep", "altsep"}) {
        py::object sep = os.attr(attr);
        if (!sep.is_none()) seps.append(py::str(sep));
    }
    for (py::handle sep : seps) {
        if (py::len(sep) == 0) continue;
        s = s.attr("replace")(sep, "_");
    }
    return s;
}

namespace {

py::object folded(py::handle name) { return py::str(name).attr("casefold")(); }

}  // namespace

StationFileNames::StationFileNames(const Call& c, const char* kind, const char* regional)
    : c_(c), kind_(kind), regional_(regional ? folded(py::str(regional)) : py::none()) {}

py::str StationFileNames::claim(py::handle sid, py::handle name) {
    const py::str wanted = file_safe_name(c_, name);
    py::object out = wanted;
    auto taken = [this](py::handle n) {
        py::object f = folded(n);
        return contains(taken_, f) || (!regional_.is_none() && equals(f, regional_));
    };
    if (taken(out)) {
        py::object key = folded(out);
        const bool held = contains(taken_, key);
        py::object holder = held ? py::object(taken_[key]) : py::object(py::none());
        const py::object suffix = fmt("_{}", file_safe_name(c_, sid));
        do {
            out = out + suffix;
        } while (taken(out));
        py::str others = held ? fmt("Stations {} and {}", holder, sid)
                              : fmt("Station {} and the regional figure", sid);
        log_warning(c_, fmt("{} share the file name '{}'; {} of {} are named '{}'.", others, wanted,
                            kind_, sid, out));
    }
    taken_[folded(out)] = py::reinterpret_borrow<py::object>(sid);
    return out;
}

}  // namespace kvelo::chronoplex
