#pragma once
// XYZ tile math in Web Mercator (EPSG:3857): 2^z by 2^z tiles, x from the
// west edge, y from the north edge.

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

namespace helpers::utils {

// Half the width of the Web Mercator square, in metres.
inline constexpr double web_mercator_origin = 20037508.342789244;

// A tile address known to be valid: 0 <= z <= 30 and 0 <= x, y < 2^z.
struct tile_address {
    int z = 0;
    int x = 0;
    int y = 0;

    // The address of (z, x, y), or nothing when it is outside the scheme.
    static std::optional<tile_address> from(std::int64_t z, std::int64_t x, std::int64_t y);
};

// A rectangle in EPSG:3857 metres.
struct bounds {
    double minx = 0;
    double miny = 0;
    double maxx = 0;
    double maxy = 0;
};

// The bounds of a tile.
bounds tile_bounds(tile_address tile);

// A point in WGS84 degrees.
struct lonlat {
    double lon = 0;
    double lat = 0;
};

// The WGS84 position of a point given in EPSG:3857 metres.
lonlat to_lonlat(double x, double y);

// The bounds as the map that leaves the process: {"minx", "miny", "maxx", "maxy"}.
nlohmann::ordered_json to_json(const bounds& b);

// The tile at `zoom` holding the point (lat, lon) in WGS84 degrees:
// {"x": int, "y": int, "z": int}. Latitudes beyond the Mercator limit and the
// antimeridian fall into the edge tiles. Throws std::invalid_argument for a
// zoom outside 0..30 or a non-finite coordinate.
nlohmann::ordered_json latlon_to_xyz(double lat, double lon, int zoom);

// The bounds of tile (z, x, y) in EPSG:3857 metres:
// {"minx": real, "miny": real, "maxx": real, "maxy": real}.
// Throws std::invalid_argument for a zoom outside 0..30.
nlohmann::ordered_json xyz_to_bbox_web_mercator(int z, int x, int y);

}  // namespace helpers::utils
