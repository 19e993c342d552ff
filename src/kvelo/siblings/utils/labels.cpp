#include "kvelo/glue/pyutil.hpp"
#include "kvelo/siblings/utils/utils.hpp"

namespace kvelo::utils {

void add_labels(py::module_& m) {
    glue::def(m, {.name = "select_label_stations_by_density", .params = {}, .impl = glue::not_available("select_label_stations_by_density")});
}

}  // namespace kvelo::utils
