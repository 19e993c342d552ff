// Logging and printing through the interpreter, and the Start/End banners of
// the larger functions.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "kvelo/binding/function.hpp"

namespace kvelo::shared {

namespace py = pybind11;
using binding::Call;

// logging.<level>(msg) through the module's `logging` global, looked up now.
void log_debug(const Call& c, py::handle msg);
void log_info(const Call& c, py::handle msg);
void log_warning(const Call& c, py::handle msg);
void log_error(const Call& c, py::handle msg);
// print(msg) through the module's globals (the builtin, unless replaced there):
// reaches whatever sys.stdout is at this moment.
void print_out(const Call& c, py::handle msg);

// "Start: " + 24 '*' + " name " + 24 '*'
std::string start_banner_text(const std::string& name);
// End banner: wide form "End:   ..." (three blanks) or narrow "End: ..." (one blank).
enum class EndForm { Wide, Narrow };
std::string end_banner_text(const std::string& name, EndForm form = EndForm::Wide);
// Logged at debug level, only when `debug` is truthy.
void start_banner(const Call& c, py::handle debug, const std::string& name);
void end_banner(const Call& c, py::handle debug, const std::string& name,
                EndForm form = EndForm::Wide);

}  // namespace kvelo::shared
