#pragma once
// Where a layer's data lies: its estimated centroid, extent and a starting tile.

#include <string>

#include <boost/asio/awaitable.hpp>

#include "database/database.hpp"
#include "common/response.hpp"

namespace vectile {

class service;

// The centroid statement of a layer (names taken from the registry, quotes stripped).
std::string centroid_sql(const std::string& layer_name);

// GET /gis/{layer_name}/: the layer's estimated centroid, extent and a
// suggested zoom-16 tile, in the response envelope; cached for four hours.
// Throws common::not_found for an unknown layer, common::timed_out after 15 s
// and common::internal_error when the statement fails. A layer with no
// estimate is answered 404 in the envelope, not thrown.
boost::asio::awaitable<common::response> get_central_tile_info(service& svc, std::string layer_name, database::session& db);

}  // namespace vectile
