// Spreading a few labels over a set of map positions: farthest-point
// selection on longitude/latitude, longitude scaled by the cosine of the
// mean latitude so that distances read as on the map.
#pragma once

#include <cstddef>
#include <vector>

namespace kvelo::core {

// Positions (0-based, ascending) of `count` points spread over the plane.
// Points with a non-finite coordinate are never chosen; fewer are returned
// when fewer points are usable.  The first choice is the point nearest the
// centre of the usable points, each later one the point farthest from all
// chosen so far (ties to the earlier position), so the result is stable.
std::vector<size_t> spread_positions(const std::vector<double>& lon, const std::vector<double>& lat,
                                     size_t count);

}  // namespace kvelo::core
