#include "kvelo/glue/pyutil.hpp"
#include "kvelo/modules/chronoplex/chronoplex.hpp"

namespace kvelo::chronoplex {

using namespace kvelo::glue;

FunctionSpec spec_process_time_series_plot_from_file() {
    return {.name = "process_time_series_plot_from_file",
            .params = {"data_file_base",
                       "data_format",
                       "model_files_dict",
                       "plot_file_base",
                       "save_plot_formats",
                       "config",
                       "plot_title",
                       {"variable", py::none()},
                       {"tavg", py::none()},
                       {"debug", py::bool_(false)},
                       {"use_collocation", py::none()}},
            .impl = not_available("process_time_series_plot_from_file"),
            .doc = "process_time_series_plot_from_file(data_file_base, data_format, model_files_dict, plot_file_base, save_plot_formats, config, plot_title, variable=None, tavg=None, debug=False, use_collocation=None)"};
}

}  // namespace kvelo::chronoplex
