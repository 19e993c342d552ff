#include "kvelo/glue/pyutil.hpp"
#include "kvelo/siblings/style/style.hpp"

namespace kvelo::style {

void add_mappings(py::module_& m) {
    glue::def(m, {.name = "get_variable_mapping", .params = {}, .impl = glue::not_available("get_variable_mapping")});
}

}  // namespace kvelo::style
