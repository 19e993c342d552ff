// Observation loader: finds the files of one network by the dates in their
// names and loads them on a thread pool into datasets keyed by date.
#pragma once

#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"

namespace kvelo::stationfeed {

namespace py = pybind11;

// What one load_observations call hands to its nested loader.  Read only once
// made; worker threads read it while holding the interpreter lock.
struct LoadWindow {
    py::object start_date, end_date, obs_type, region_bounds, debug;
};

// load_single_dataset for one call, made at call time with that call's values.
py::object make_load_single_dataset(const binding::Call& c, LoadWindow window);

// An error of the Exception family (not KeyboardInterrupt, SystemExit,
// GeneratorExit), which the loader reports and goes on.
bool ordinary(const py::error_already_set& e);

}  // namespace kvelo::stationfeed
