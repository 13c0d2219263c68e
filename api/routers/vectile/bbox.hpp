#pragma once
// One vector tile for a caller-given bounding box.

#include <cstdint>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "database/database.hpp"
#include "common/response.hpp"

namespace vectile {

class service;

// The area of a box in square degrees, |(maxx - minx) * (maxy - miny)|; no validation.
double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy);

// The logical cache key of a bounding-box tile (box in EPSG:3857 metres, whole metres, ties to even).
std::string bbox_cache_key(const std::string& layer_name, double min_x, double min_y, double max_x, double max_y,
                           std::int64_t max_features, bool simplify);

// The tile statement for a layer and a geometry expression; binds :min_x,
// :min_y, :max_x, :max_y and :max_features.
std::string bbox_tile_sql(const std::string& layer_name, const std::string& geom_expr);

// The statement that brings a box from :input_srid to EPSG:3857.
extern const char* const transform_sql;

struct bbox_request {
    std::string layer_name;
    double minx, miny, maxx, maxy;
    std::int64_t srid = 4326;
    std::int64_t max_features = 5000;
    bool simplify = true;
};

// GET /gis/{layer_name}/bbox/: one tile of the features in a box given in
// EPSG:4326 or 3857, from the cache or the database (cached for
// CACHE_TTL_SHORT); 204 when empty. Throws common::not_found, common::bad_request for
// a box it refuses, common::timed_out after 20 s and common::internal_error.
boost::asio::awaitable<common::response> get_tile_bbox(service& svc, bbox_request req, database::session& db);

}  // namespace vectile
