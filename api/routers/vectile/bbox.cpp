#include "routers/vectile/bbox.hpp"

#include <algorithm>
#include <cmath>

#include "routers/vectile/service.hpp"
#include "common/cancellation.hpp"
#include "common/deadline.hpp"
#include "helpers/utils/text.hpp"
#include "routers/vectile/miss.hpp"
#include "routers/vectile/statement.hpp"
#include "routers/vectile/text.hpp"
#include "routers/vectile/tiles.hpp"

namespace vectile {

namespace {

bool within(double v, double lo, double hi) { return v >= lo && v <= hi; }  // false for NaN

}  // namespace

const char* const transform_sql =
    "\n"
    "            SELECT \n"
    "                ST_XMin(bbox_3857) as min_x, ST_YMin(bbox_3857) as min_y,\n"
    "                ST_XMax(bbox_3857) as max_x, ST_YMax(bbox_3857) as max_y\n"
    "            FROM (\n"
    "                SELECT ST_Transform(\n"
    "                    ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857\n"
    "                ) as bbox_3857\n"
    "            ) as sub\n"
    "        ";

double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy) {
    return std::abs((maxx - minx) * (maxy - miny));
}

std::string bbox_cache_key(const std::string& layer_name, double min_x, double min_y, double max_x, double max_y,
                           std::int64_t max_features, bool simplify) {
    return "bbox:" + layer_name + ":" + whole_text(min_x) + ":" + whole_text(min_y) + ":" + whole_text(max_x) + ":" +
           whole_text(max_y) + ":" + std::to_string(max_features) + ":" + (simplify ? "True" : "False");
}

std::string bbox_tile_sql(const std::string& layer_name, const std::string& geom_expr) {
    const layer_record& layer = *find_layer(layer_name);
    const std::string properties = joined_properties(layer);
    const std::string& geom = layer.geom_col;
    return "\n"
           "    SELECT ST_AsMVT(mvt_data, '" + layer_name + "', 4096, 'mvt_geom') AS mvt\n"
           "    FROM (\n"
           "        SELECT " + properties + ",\n"
           "            " + layer.id_col + " AS feature_id,\n"
           "            ST_AsMVTGeom(\n"
           "                " + geom_expr + ",\n"
           "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n"
           "                4096,\n"
           "                32,\n"
           "                true\n"
           "            ) AS mvt_geom\n"
           "        FROM " + layer.table + "\n"
           "        WHERE " + geom + " && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n"
           "            AND ST_Intersects(" + geom + ", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n"
           "        ORDER BY ST_Area(" + geom + ") DESC\n"
           "        LIMIT :max_features\n"
           "    ) AS mvt_data\n"
           "    WHERE mvt_data.mvt_geom IS NOT NULL\n"
           "    ";
}

boost::asio::awaitable<common::response> get_tile_bbox(service& svc, bbox_request req, database::session& db) {
    const std::string& layer_name = req.layer_name;
    const layer_record* layer = find_layer(layer_name);
    if (layer == nullptr) throw common::not_found("Layer '" + layer_name + "' not found");
    if (req.srid != 4326 && req.srid != 3857) {
        throw common::bad_request("Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported");
    }
    if (req.srid == 4326) {
        if (!within(req.minx, -180, 180) || !within(req.maxx, -180, 180)) throw common::bad_request("Invalid longitude values");
        if (!within(req.miny, -90, 90) || !within(req.maxy, -90, 90)) throw common::bad_request("Invalid latitude values");
        if (calculate_bbox_area_degrees(req.minx, req.miny, req.maxx, req.maxy) > MAX_BBOX_AREA_WGS84) {
            throw common::bad_request("Bounding box too large. Maximum area: " + helpers::utils::real_text(MAX_BBOX_AREA_WGS84) + " square degrees");
        }
    }
    // A negative limit would only fail later inside PostgreSQL's LIMIT as a 500.
    if (req.max_features < 0) throw common::bad_request("max_features must not be negative");
    const std::int64_t max_features = std::min<std::int64_t>(req.max_features, MAX_FEATURES_GLOBAL);

    double min_x = req.minx, min_y = req.miny, max_x = req.maxx, max_y = req.maxy;
    if (req.srid != 3857) {
        try {
            database::params transform_params{
                {"x1", req.minx}, {"y1", req.miny}, {"x2", req.maxx}, {"y2", req.maxy}, {"input_srid", req.srid}};
            auto result = co_await db.execute(transform_sql, std::move(transform_params));
            auto row = result.first();
            if (!row) throw std::runtime_error("the transformation returned no row");
            min_x = row->real("min_x");
            min_y = row->real("min_y");
            max_x = row->real("max_x");
            max_y = row->real("max_y");
        } catch (const database::pool_timeout&) {
            throw;
        } catch (const database::bad_data& e) {
            // A box PostGIS cannot transform.
            svc.logger->error("Coordinate transformation error: {}", e.what());
            throw common::bad_request("Invalid coordinate transformation");
        } catch (const database::error& e) {
            svc.logger->error("Coordinate transformation error: {}", e.what());
            throw common::internal_error("Database error");
        } catch (const std::exception& e) {
            if (common::is_cancellation(e)) throw;
            svc.logger->error("Coordinate transformation error: {}", e.what());
            throw common::bad_request("Invalid coordinate transformation");
        }
    }

    std::string cache_key = bbox_cache_key(layer_name, min_x, min_y, max_x, max_y, max_features, req.simplify);
    const std::vector<std::pair<std::string, std::string>> hit_headers{
        {"Cache-Control", "public, max-age=" + std::to_string(CACHE_TTL_SHORT)}, {"X-Cache", "HIT"}};
    auto cached = co_await safe_cache_get(svc, cache_key, std::chrono::seconds(2));
    if (cached && !cached->empty()) {
        metrics::count_tile(layer_name, metrics::bbox_zoom, metrics::tile_source::redis, cached->size());
        co_return common::response::raw(std::move(*cached), mvt_media_type, hit_headers);
    }

    // A box given in metres counts as small: it is never simplified.
    const double bbox_area = req.srid == 4326 ? calculate_bbox_area_degrees(req.minx, req.miny, req.maxx, req.maxy) : 0.01;
    const std::string geom_expr =
        (req.simplify && bbox_area > 0.01) ? "ST_SimplifyPreserveTopology(" + layer->geom_col + ", 50)" : layer->geom_col;
    // Bounded like a cache write: a frozen Redis must not hold the answer. On a
    // failure the tile may still be stored; edits then reach it when it expires.
    std::string failure = "timed out";
    try {
        auto registering = register_bbox_tile(svc, layer_name, cache_key, CACHE_TTL_SHORT);
        if (co_await common::with_deadline(std::move(registering), std::chrono::seconds(1))) failure.clear();
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        failure = e.what();
    }
    if (!failure.empty()) svc.logger->warn("Registering {} for edits failed: {}", cache_key, failure);
    // A named job, not a temporary in the awaited call: GCC 12 mishandles
    // aggregate temporaries passed by value into a coroutine.
    tile_job job{.cache_key = std::move(cache_key),
                 .layer = layer_name,
                 .zoom = metrics::bbox_zoom,
                 .ttl = CACHE_TTL_SHORT,
                 .sql = bbox_tile_sql(layer_name, geom_expr),
                 .params = {{"min_x", min_x}, {"min_y", min_y}, {"max_x", max_x}, {"max_y", max_y}, {"max_features", max_features}},
                 .limit = std::chrono::seconds(20),
                 .texts = statement_texts::alike("Timeout generating bbox tile for " + layer_name, "Query timeout",
                                                 "Error generating bbox tile for " + layer_name, "Internal server error")};
    auto mvt_content = co_await generate_tile(svc, std::move(job), db);
    metrics::count_tile(layer_name, metrics::bbox_zoom, metrics::tile_source::miss, mvt_content ? mvt_content->size() : 0);
    if (mvt_content) {
        co_return common::response::raw(std::move(mvt_content), mvt_media_type,
                                      {{"Cache-Control", "public, max-age=" + std::to_string(CACHE_TTL_SHORT)}, {"X-Cache", "MISS"}});
    }
    co_return common::response::empty(204);
}

}  // namespace vectile
