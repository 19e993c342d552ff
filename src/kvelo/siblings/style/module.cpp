#include "kvelo/siblings/style/style.hpp"
#include "kvelo/binding/module.hpp"

KVELO_MODULE(style, m) {
    kvelo::style::add_regions(m);
    kvelo::style::add_mappings(m);
    kvelo::style::add_maps(m);
}
