#include "kvelo/siblings/utils/utils.hpp"
#include "kvelo/binding/module.hpp"

KVELO_MODULE(utils, m) {
    kvelo::utils::add_axes(m);
    kvelo::utils::add_files(m);
    kvelo::utils::add_labels(m);
}
