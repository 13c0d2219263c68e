#include "routers/vectile/tiles.hpp"

#include <map>
#include <mutex>
#include <utility>

#include "helpers/utils/utils.hpp"
#include "routers/vectile/mvt_sql.hpp"
#include "routers/vectile/service.hpp"
#include "routers/vectile/statement.hpp"

namespace vectile {

bool validate_tile_coords(std::int64_t z, std::int64_t x, std::int64_t y) {
    if (z < 1 || z > 20) return false;
    const std::int64_t n = std::int64_t{1} << z;
    return x >= 0 && x < n && y >= 0 && y < n;
}

std::chrono::seconds tile_timeout(std::int64_t z) {
    using std::chrono::seconds;
    if (z <= 6) return seconds(10);
    if (z <= 10) return seconds(12);
    if (z <= 14) return seconds(15);
    if (z <= 16) return seconds(20);
    return seconds(30);
}

namespace {

// The statement of a layer at a zoom never changes: made once per process
// rather than on every request, hits included. Errors are not remembered.
const std::pair<std::string, zoom_config>& tile_statement(const std::string& layer_name, std::int64_t z) {
    static std::mutex guard;
    static std::map<std::pair<std::string, std::int64_t>, std::pair<std::string, zoom_config>> made;
    std::lock_guard lock(guard);
    auto key = std::make_pair(layer_name, z);
    if (auto it = made.find(key); it != made.end()) return it->second;
    return made.emplace(std::move(key), generate_mvt_sql(layer_name, z)).first->second;
}

}  // namespace

std::string xyz_cache_key(const std::string& layer_name, helpers::utils::tile_address tile) {
    return layer_name + ":" + std::to_string(tile.z) + ":" + std::to_string(tile.x) + ":" + std::to_string(tile.y);
}

tile_job xyz_tile_job(const std::string& layer_name, helpers::utils::tile_address tile) {
    const auto* made = &tile_statement(layer_name, tile.z);
    const std::string tile_id = layer_name + "/" + std::to_string(tile.z) + "/" + std::to_string(tile.x) + "/" + std::to_string(tile.y);
    const auto bbox = helpers::utils::tile_bounds(tile);
    return tile_job{
        .cache_key = xyz_cache_key(layer_name, tile),
        .layer = layer_name,
        .zoom = tile.z,
        .ttl = made->second.cache_ttl,
        .sql = made->first,
        .params = {{"min_x", bbox.minx}, {"min_y", bbox.miny}, {"max_x", bbox.maxx}, {"max_y", bbox.maxy}},
        .limit = tile_timeout(tile.z),
        .texts =
            statement_texts{
                .timeout_log = "Timeout generating tile " + tile_id,
                .timeout_detail = "Tile generation timeout at zoom " + std::to_string(tile.z),
                .database_log = "Database error for tile " + tile_id,
                .database_detail = "Database error",
                .other_log = "Unexpected error for tile " + tile_id,
                .other_detail = "Internal server error",
            },
    };
}

boost::asio::awaitable<common::response> get_tile_xyz(service& svc, std::string layer_name, std::int64_t z, std::int64_t x,
                                                      std::int64_t y, database::session& db) {
    if (find_layer(layer_name) == nullptr) {
        throw common::not_found("Layer '" + layer_name + "' not found");
    }
    const auto tile = validate_tile_coords(z, x, y) ? helpers::utils::tile_address::from(z, x, y) : std::nullopt;
    if (!tile) {
        throw common::bad_request("Invalid tile coordinates: z=" + std::to_string(z) + ", x=" + std::to_string(x) +
                                  ", y=" + std::to_string(y));
    }

    const std::pair<std::string, zoom_config>* made = nullptr;
    try {
        made = &tile_statement(layer_name, z);
    } catch (const invalid_argument& e) {
        // Zoomed out below the layer's range: nothing to draw, and not a failure.
        svc.logger->info("Layer {} not available at zoom {}: {}", layer_name, z, e.what());
        if (z <= 6) {
            std::vector<std::string> usable;
            for (const auto& [name, record] : LAYER_CONFIG) {
                if (record.min_zoom.value_or(0) <= z) usable.push_back(name);
            }
            if (!usable.empty()) svc.logger->info("Try these layers at zoom {}: {}", z, quoted_layer_list(usable));
        }
        co_return common::response::empty(204);
    }

    auto from = metrics::tile_source::redis;
    // On a miss, the read has also taken the tile's lock (or seen who holds it).
    miss_start start;
    if (auto cached = co_await cached_tile(svc, xyz_cache_key(layer_name, *tile), &from, &start); cached && !cached->empty()) {
        metrics::count_tile(layer_name, z, from, cached->size());
        co_return common::response::raw(std::move(cached), mvt_media_type,
                                      {{"Cache-Control", "public, max-age=" + std::to_string(made->second.cache_ttl)}, {"X-Cache", "HIT"}});
    }

    // Made only on a miss: a hit costs no more than the key.
    auto job = xyz_tile_job(layer_name, *tile);
    const auto bbox = helpers::utils::tile_bounds(*tile);
    const std::string tile_id = layer_name + "/" + std::to_string(z) + "/" + std::to_string(x) + "/" + std::to_string(y);
    auto mvt_content = co_await generate_tile(svc, std::move(job), db, std::move(start));
    metrics::count_tile(layer_name, z, metrics::tile_source::miss, mvt_content ? mvt_content->size() : 0);
    if (mvt_content) co_return common::response::raw(std::move(mvt_content), mvt_media_type);
    svc.logger->info("Empty tile generated for {} - bbox: {}", tile_id, helpers::utils::to_json(bbox).dump());
    co_return common::response::empty(204);
}

}  // namespace vectile
