#include "kvelo/siblings/style/style.hpp"

PYBIND11_MODULE(style, m) {
    kvelo::style::add_regions(m);
    kvelo::style::add_mappings(m);
    kvelo::style::add_maps(m);
}
