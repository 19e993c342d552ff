// File names of station figures and dumps: a station's name as it may stand in
// a file name, and the names of the stations of one call kept apart.
#pragma once

#include <pybind11/pybind11.h>

#include "kvelo/binding/function.hpp"

namespace kvelo::chronoplex {

namespace py = pybind11;

// The text form of `name` with every path separator replaced by "_", so that a
// name such as "Mt. X/Y" stays inside the directory it is written to.
py::str file_safe_name(const binding::Call& c, py::handle name);

// The names under which the stations of one call write one family of files
// ("figures", "debug dumps").  The first station keeps its name; a later one
// whose name is taken (case aside, as case-insensitive file systems see it)
// gets "_{identifier}" appended, with one warning naming both stations, so that
// no station's files overwrite another's.  Where the call's regional figure is
// named in the stations' pattern, its name (`regional`) is taken from the start.
class StationFileNames {
  public:
    StationFileNames(const binding::Call& c, const char* kind, const char* regional = nullptr);

    // The file-safe name for station `sid` called `name`, now taken by it.
    py::str claim(py::handle sid, py::handle name);

  private:
    const binding::Call& c_;
    const char* kind_;
    py::dict taken_;       // case-folded name -> station holding it
    py::object regional_;  // case-folded, None without a regional figure
};

}  // namespace kvelo::chronoplex
