#include "kvelo/glue/pyutil.hpp"
#include "kvelo/siblings/utils/utils.hpp"

namespace kvelo::utils {

void add_files(py::module_& m) {
    glue::def(m, {.name = "extract_date_from_filename", .params = {}, .impl = glue::not_available("extract_date_from_filename")});
    glue::def(m, {.name = "summarize_observation_dataset", .params = {}, .impl = glue::not_available("summarize_observation_dataset")});
}

}  // namespace kvelo::utils
