#pragma once
// The XYZ vector tile endpoint.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "database/database.hpp"
#include "common/response.hpp"
#include "helpers/utils/utils.hpp"
#include "routers/vectile/miss.hpp"

namespace vectile {

class service;

// True exactly when 1 <= z <= 20 and 0 <= x, y < 2^z: the tiles this router serves.
bool validate_tile_coords(std::int64_t z, std::int64_t x, std::int64_t y);

// The statement time-limit for a zoom.
std::chrono::seconds tile_timeout(std::int64_t z);

// The cache key of an XYZ tile, within the cache's namespace.
std::string xyz_cache_key(const std::string& layer_name, helpers::utils::tile_address tile);

// What a miss of the tile runs, and where its bytes are cached. Below the
// layer's minimum zoom (the tile is then empty without a statement) throws
// vectile::invalid_argument saying so. The layer must exist.
tile_job xyz_tile_job(const std::string& layer_name, helpers::utils::tile_address tile);

// GET /gis/{layer_name}/{z}/{x}/{y}.pbf. Answers the tile from the cache or the database, 204 below the layer's
// minimum zoom or for an empty tile; throws common::not_found, bad_request,
// timed_out and internal_error.
boost::asio::awaitable<common::response> get_tile_xyz(service& svc, std::string layer_name, std::int64_t z, std::int64_t x,
                                                      std::int64_t y, database::session& db);

inline constexpr const char* mvt_media_type = "application/vnd.mapbox-vector-tile";

}  // namespace vectile
