#pragma once
// Documents that let map clients start from one URL: a TileJSON per layer and
// a map style with all the layers.

#include <string>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "common/response.hpp"
#include "database/database.hpp"

namespace vectile {

class service;

// The statement giving a layer's estimated extent in EPSG:3857 and its
// property columns' types as a JSON object (name to SQL type).
std::string layer_description_sql(const std::string& layer_name);

// GET /gis/{layer_name}/tilejson.json: TileJSON 3.0.0 with absolute tile
// URLs, the layer's zoom range, its bounds and centre in degrees (the whole
// Web Mercator square when the table has no estimate) and its fields.
// Throws common::not_found for an unknown layer, common::timed_out and
// common::internal_error when the statement fails.
boost::asio::awaitable<common::response> get_tilejson(service& svc, std::string layer_name, const common::request& req,
                                                      database::session& db);

// The name of the style's one source, whose tiles hold every layer.
inline constexpr const char* composite_source = "cadastre";

// GET /gis/style.json: a MapLibre style whose one source is the composite
// TileJSON of every layer; `encoding` "mlt" asks for MapLibre Tiles. Throws
// common::bad_request for another encoding than mvt or mlt.
common::response get_style(const service& svc, const common::request& req, const std::string& encoding = "mvt");

}  // namespace vectile
