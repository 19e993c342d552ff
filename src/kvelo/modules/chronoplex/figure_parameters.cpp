// The parameter table that every figure function of the module shares.
#include <string>
#include <utility>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::binding;

FunctionSpec figure_spec(const char* name, Impl impl, const char* summary, bool with_tavg) {
    std::vector<Param> params = {"config",
                                 "data",
                                 "data_file_base",
                                 "data_format",
                                 "model_files_dict",
                                 "plot_file_base",
                                 "save_plot_formats",
                                 "plot_title",
                                 {"variable", py::none()},
                                 {"unit", py::none()}};
    if (with_tavg) params.emplace_back("tavg", py::none());
    params.emplace_back("debug", py::bool_(false));
    std::string doc = signature_line(name, params) + "\n\n" + summary;
    return {.name = name, .params = std::move(params), .impl = std::move(impl), .doc = doc};
}

}  // namespace kvelo::chronoplex
