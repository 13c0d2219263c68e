#pragma once
// Several layers' tiles in one answer, and the tiles in MapLibre Tiles (MLT)
// for clients that ask for them. Both are made from the per-layer MVT bytes as
// the XYZ route caches them: nothing here stores anything in Redis.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "common/response.hpp"
#include "database/database.hpp"

namespace vectile {

class service;

enum class tile_encoding { mvt, mlt };

inline constexpr const char* mlt_media_type = "application/vnd.maplibre-tile";

// The layers of "a,b,c" in the order given. Throws common::not_found, as for
// an unknown layer, when a name is unknown, repeated or empty.
std::vector<std::string> parse_layer_list(std::string_view list);

// GET /gis/tiles/{layers}/{z}/{x}/{y}.pbf and .mlt: one tile holding each
// listed layer that has features there, in the order given. Cache-Control
// carries the shortest of the layers' lifetimes, X-Cache is HIT only when every
// part came from the cache; 204 when every part is empty. Throws as
// get_tile_xyz does.
boost::asio::awaitable<common::response> get_tile_composite(service& svc, std::string layers, std::int64_t z, std::int64_t x,
                                                            std::int64_t y, database::session& db, tile_encoding encoding);

// GET /gis/{layer_name}/{z}/{x}/{y}.mlt: the XYZ route's answer with its tile in MLT.
boost::asio::awaitable<common::response> get_tile_xyz_mlt(service& svc, std::string layer_name, std::int64_t z, std::int64_t x,
                                                          std::int64_t y, database::session& db);

// GET /gis/tiles/{layers}/tilejson.json: TileJSON of the composite tiles, one
// vector layer per listed layer. `encoding` "mlt" points the tiles at the .mlt
// route and says so; anything else is MVT.
boost::asio::awaitable<common::response> get_composite_tilejson(service& svc, std::string layers, std::string encoding,
                                                                const common::request& req, database::session& db);

// The encoding a ?encoding= value asks for: "mlt" or MVT; anything else is a bad request.
tile_encoding parse_tile_encoding(const std::string& value);

}  // namespace vectile
