// Module geoplex: the station location map and the station value map.  Each
// entry point lives in its own source file and hands its function table to
// the module load (module.cpp).
#pragma once

#include "kvelo/binding/function.hpp"

namespace kvelo::geoplex {

binding::FunctionSpec spec_station_location_map_plot_from_file();
binding::FunctionSpec spec_station_value_map_plot_from_file();

}  // namespace kvelo::geoplex
