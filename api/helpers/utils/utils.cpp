#include "helpers/utils/utils.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace helpers::utils {

namespace {
void check_zoom(int zoom) {
    if (zoom < 0 || zoom > 30) throw std::invalid_argument("zoom out of range: " + std::to_string(zoom));
}
}  // namespace

nlohmann::ordered_json latlon_to_xyz(double lat, double lon, int zoom) {
    check_zoom(zoom);
    if (!std::isfinite(lat) || !std::isfinite(lon)) throw std::invalid_argument("coordinates must be finite");
    const double n = std::ldexp(1.0, zoom);
    const double lat_rad = std::clamp(lat, -85.0511287798066, 85.0511287798066) * std::numbers::pi / 180.0;
    double fx = (lon + 180.0) / 360.0 * n;
    double fy = (1.0 - std::asinh(std::tan(lat_rad)) / std::numbers::pi) / 2.0 * n;
    auto last = static_cast<long long>(n) - 1;
    long long x = std::clamp(static_cast<long long>(std::floor(fx)), 0LL, last);
    long long y = std::clamp(static_cast<long long>(std::floor(fy)), 0LL, last);
    return {{"x", x}, {"y", y}, {"z", zoom}};
}

std::optional<tile_address> tile_address::from(std::int64_t z, std::int64_t x, std::int64_t y) {
    if (z < 0 || z > 30) return std::nullopt;
    const std::int64_t n = std::int64_t{1} << z;
    if (x < 0 || x >= n || y < 0 || y >= n) return std::nullopt;
    return tile_address{static_cast<int>(z), static_cast<int>(x), static_cast<int>(y)};
}

namespace {
bounds bounds_of(int z, int x, int y) {
    const double size = 2.0 * web_mercator_origin / std::ldexp(1.0, z);
    const double minx = -web_mercator_origin + x * size;
    const double maxy = web_mercator_origin - y * size;
    return {minx, maxy - size, minx + size, maxy};
}
}  // namespace

bounds tile_bounds(tile_address tile) { return bounds_of(tile.z, tile.x, tile.y); }

lonlat to_lonlat(double x, double y) {
    const double lon = x / web_mercator_origin * 180.0;
    const double lat = std::atan(std::sinh(y / web_mercator_origin * std::numbers::pi)) * 180.0 / std::numbers::pi;
    return {lon, lat};
}

nlohmann::ordered_json to_json(const bounds& b) { return {{"minx", b.minx}, {"miny", b.miny}, {"maxx", b.maxx}, {"maxy", b.maxy}}; }

nlohmann::ordered_json xyz_to_bbox_web_mercator(int z, int x, int y) {
    check_zoom(z);
    return to_json(bounds_of(z, x, y));
}

}  // namespace helpers::utils
