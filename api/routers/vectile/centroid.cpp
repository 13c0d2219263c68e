#include "routers/vectile/centroid.hpp"

#include "helpers/responses/responses.hpp"
#include "helpers/utils/utils.hpp"
#include "routers/vectile/service.hpp"
#include "routers/vectile/statement.hpp"
#include "routers/vectile/text.hpp"

namespace vectile {

using json = nlohmann::ordered_json;
using helpers::responses::api_response;
using helpers::responses::api_router_response;

namespace {

std::string strip_quotes(std::string s) {
    while (!s.empty() && s.front() == '"') s.erase(s.begin());
    while (!s.empty() && s.back() == '"') s.pop_back();
    return s;
}

}  // namespace

std::string centroid_sql(const std::string& layer_name) {
    const layer_record& layer = *find_layer(layer_name);
    return "\n"
           "        WITH layer_stats AS (\n"
           "            -- Use ST_EstimatedExtent for a fast approximation of the layer's bounding box.\n"
           "            -- This is significantly more performant than ST_Extent on large tables.\n"
           "            SELECT ST_EstimatedExtent('" + strip_quotes(layer.table) + "', '" + strip_quotes(layer.geom_col) + "') as bbox\n"
           "        )\n"
           "        SELECT\n"
           "            -- Calculate the centroid of the estimated bbox and transform it to WGS84 (lat/lon)\n"
           "            ST_Y(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lat,\n"
           "            ST_X(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lon,\n"
           "            \n"
           "            -- Extract the coordinates of the estimated bounding box\n"
           "            ST_XMin(bbox) as extent_minx,\n"
           "            ST_YMin(bbox) as extent_miny,\n"
           "            ST_XMax(bbox) as extent_maxx,\n"
           "            ST_YMax(bbox) as extent_maxy\n"
           "        FROM layer_stats\n"
           "        -- Ensure we don't proceed if the extent could not be calculated\n"
           "        WHERE bbox IS NOT NULL\n"
           "    ";
}

boost::asio::awaitable<common::response> get_central_tile_info(service& svc, std::string layer_name, database::session& db) {
    const layer_record* layer = find_layer(layer_name);
    if (layer == nullptr) throw common::not_found("Layer '" + layer_name + "' not found");
    const std::string cache_key = "centroid:" + layer_name;

    if (auto cached = co_await safe_cache_get(svc, cache_key, std::chrono::seconds(2)); cached && !cached->empty()) {
        // An unreadable entry is treated as a miss and replaced below.
        json parsed = json::parse(*cached, nullptr, false);
        if (!parsed.is_discarded()) co_return api_router_response(api_response({.data = std::move(parsed)}));
    }

    const std::string sql = centroid_sql(layer_name);
    const auto texts = statement_texts::alike("Timeout calculating centroid for " + layer_name, "Centroid calculation timeout",
                                              "Error calculating centroid for " + layer_name, "Database error");
    const auto found = co_await run_statement(svc, db, sql, database::params(), std::chrono::seconds(15), texts);
    const auto centroid = found.first();

    if (!centroid || centroid->is_null("lat") || centroid->is_null("lon")) {
        co_return api_router_response(
            api_response({.message = "No valid geometry found for layer '" + layer_name + "'", .status_code = 404}));
    }

    const double lat = centroid->real("lat");
    const double lon = centroid->real("lon");
    json tile = helpers::utils::latlon_to_xyz(lat, lon, DEFAULT_CENTROID_ZOOM);
    const int z = tile["z"].get<int>(), x = tile["x"].get<int>(), y = tile["y"].get<int>();
    json bbox = helpers::utils::xyz_to_bbox_web_mercator(z, x, y);

    json doc;
    doc["layer"] = layer_name;
    doc["centroid_wgs84"] = {{"latitude", lat}, {"longitude", lon}};
    doc["extent_web_mercator"] = {{"minx", centroid->real("extent_minx")},
                                  {"miny", centroid->real("extent_miny")},
                                  {"maxx", centroid->real("extent_maxx")},
                                  {"maxy", centroid->real("extent_maxy")}};
    doc["suggested_tile"] = tile;
    doc["suggested_tile_bbox"] = bbox;
    doc["tile_url"] = "/gis/" + layer_name + "/" + std::to_string(z) + "/" + std::to_string(x) + "/" + std::to_string(y) + ".pbf";
    doc["layer_config"] = {{"min_zoom", layer->min_zoom.value_or(0)}, {"properties", layer->properties}};

    const std::string stored = spaced_json(doc);
    co_await safe_cache_set(svc, cache_key, stored, CACHE_TTL_LONG * 2);
    co_return api_router_response(api_response({.data = std::move(doc)}));
}

}  // namespace vectile
