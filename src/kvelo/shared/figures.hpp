// Saving a figure once per format word, and closing it on every way out.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "kvelo/binding/function.hpp"

namespace kvelo::shared {

namespace py = pybind11;
using binding::Call;

// One file per format word, in order: save("<stem>.<word>", **options), then
// the info line "<announce><stem>.<word>".  An error stops the loop; files of
// earlier words stay.
void save_each_format(const Call& c, py::handle save, py::handle stem, py::handle formats,
                      const char* announce, const py::dict& options = py::dict());
// The same at 300 dpi with a tight bounding box, announced as "Saved: {path}":
// the save of the station, bias, chart and location figures.
void save_each_format_300_tight(const Call& c, py::handle save, py::handle stem,
                                py::handle formats);

// Closes a figure when the scope ends, also when an exception propagates.
// Swallows nothing of the error in flight and throws nothing itself.
class FigureGuard {
  public:
    FigureGuard(py::object plt, py::object fig) : plt_(std::move(plt)), fig_(std::move(fig)) {}
    FigureGuard(const FigureGuard&) = delete;
    FigureGuard& operator=(const FigureGuard&) = delete;
    ~FigureGuard();
    // Closes now (as a normal return would); the guard then does nothing more.
    void close();

  private:
    py::object plt_;
    py::object fig_;
};

}  // namespace kvelo::shared
