#pragma once
// The SQL statement that builds one XYZ vector tile in PostGIS.

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "routers/vectile/zoom.hpp"

namespace vectile {

// Bad input to the tile machinery: an unknown layer, or a zoom below the
// layer's minimum. The message names the value.
class invalid_argument : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The statement for `layer_name` at `zoom` and the zoom's rules. The
// statement has the named parameters :min_x, :min_y, :max_x, :max_y (tile
// bounds in EPSG:3857 metres) and returns one row with the column "mvt".
// Only registry identifiers and numbers are pasted into the text. Throws
// vectile::invalid_argument for an unknown layer or a zoom below its minimum.
std::pair<std::string, zoom_config> generate_mvt_sql(std::string_view layer_name, long long zoom);

}  // namespace vectile
