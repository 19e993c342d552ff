// Version texts of the package.
#include <pybind11/pybind11.h>
#include "kvelo/binding/module.hpp"

KVELO_MODULE(version, m) {
    m.attr("KVELO_VERSION") = "0.1.0";
    m.attr("KVELO_RELEASE_DATE") = "2026-12-10";
    m.attr("KVELO_DISTRIBUTION") = "standalone";
}
