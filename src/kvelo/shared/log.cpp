#include "kvelo/shared/log.hpp"

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"

namespace kvelo::shared {

using binding::truthy;

namespace {
void log_at(const Call& c, const char* level, py::handle msg) { c.g("logging").attr(level)(msg); }
}  // namespace

void log_debug(const Call& c, py::handle msg) { log_at(c, "debug", msg); }
void log_info(const Call& c, py::handle msg) { log_at(c, "info", msg); }
void log_warning(const Call& c, py::handle msg) { log_at(c, "warning", msg); }
void log_error(const Call& c, py::handle msg) { log_at(c, "error", msg); }

void print_out(const Call& c, py::handle msg) { c.g("print")(msg); }

std::string start_banner_text(const std::string& name) {
    const std::string stars(24, '*');
    return "Start: " + stars + " " + name + " " + stars;
}

std::string end_banner_text(const std::string& name, EndForm form) {
    const std::string stars(24, '*');
    return std::string(form == EndForm::Wide ? "End:   " : "End: ") + stars + " " + name + " " +
           stars;
}

void start_banner(const Call& c, py::handle debug, const std::string& name) {
    if (truthy(debug)) log_debug(c, py::str(start_banner_text(name)));
}

void end_banner(const Call& c, py::handle debug, const std::string& name, EndForm form) {
    if (truthy(debug)) log_debug(c, py::str(end_banner_text(name, form)));
}

}  // namespace kvelo::shared
