#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"
#include "kvelo/shared/libraries.hpp"
#include "kvelo/modules/statistics/statistics.hpp"
#include "kvelo/binding/module.hpp"

namespace kvelo::statistics {

Originals& originals() {
    static Originals o;
    return o;
}

bool is_original(const Call& c, const char* name, PyObject* original) {
    return c.g(name).ptr() == original;
}

bool native_pearson(const Call& c) {
    const Originals& o = originals();
    return is_original(c, "compute_pearson_r", o.pearson_r) &&
           is_original(c, "pearsonr", o.pearsonr);
}

bool native_libraries(const Call& c) {
    const Originals& o = originals();
    return is_original(c, "np", o.np) && is_original(c, "pd", o.pd);
}

}  // namespace kvelo::statistics

namespace py = pybind11;
using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace kvelo::statistics;

namespace {

// Kept for identity tests only; held for the life of the process.
PyObject* keep(const py::object& o) {
    Py_INCREF(o.ptr());
    return o.ptr();
}

}  // namespace

KVELO_MODULE(statistics, m) {
    import_base_libraries(m);
    Originals& o = originals();
    o.np = keep(m.attr("np"));
    o.pd = keep(m.attr("pd"));
    import_as(m, "matplotlib.pyplot", "plt");
    o.pearsonr = keep(import_from(m, "scipy.stats", "pearsonr"));

    def(m, spec_plot_statistics());
    def(m, spec_compute_regional_statistics());
    def(m, spec_compute_regional_statistics_from_collocated_dict());
    o.statistics_df = keep(def(m, spec_compute_statistics_from_collocated_df()));
    o.with_obs_entry = keep(def(m, spec_compute_statistics_from_collocated_df_with_obs_entry()));
    o.pearson_r = keep(def(m, spec_compute_pearson_r()));
    def(m, spec_compute_pearson_r_with_shift());
    def(m, spec_compute_pearson_r_with_shift2());
    def(m, spec_compute_pearson_r2());
    def(m, spec_save_stats());
}
