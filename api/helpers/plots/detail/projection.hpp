#pragma once

#include "detail/geometry.hpp"

#include <utility>

namespace plots::detail {

// The EPSG code of survey plans' projected system.
inline constexpr int plan_srid = 26332;

// Transforms two points from EPSG:`srid` to EPSG:26332, x (easting or
// longitude) first whatever the source system's own axis order. Uses a PROJ
// context of its own, so it may run on several threads at once. Throws
// plots::invalid_argument naming the srid when the system is unknown, no
// transformation reaches EPSG:26332, or a point cannot be transformed.
std::pair<point, point> transform_to_plan(int srid, point first, point second);

}  // namespace plots::detail
