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

    const std::string* statement = nullptr;
    zoom_config config{};
    try {
        const auto& made = tile_statement(layer_name, z);
        statement = &made.first;
        config = made.second;
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

    std::string cache_key = layer_name + ":" + std::to_string(z) + ":" + std::to_string(x) + ":" + std::to_string(y);
    auto from = metrics::tile_source::redis;
    if (auto cached = co_await cached_tile(svc, cache_key, &from); cached && !cached->empty()) {
        metrics::count_tile(layer_name, z, from, cached->size());
        co_return common::response::raw(std::move(cached), mvt_media_type,
                                      {{"Cache-Control", "public, max-age=" + std::to_string(config.cache_ttl)}, {"X-Cache", "HIT"}});
    }

    const std::string tile_id = layer_name + "/" + std::to_string(z) + "/" + std::to_string(x) + "/" + std::to_string(y);
    const auto bbox = helpers::utils::tile_bounds(*tile);
    const database::params params{{"min_x", bbox.minx}, {"min_y", bbox.miny}, {"max_x", bbox.maxx}, {"max_y", bbox.maxy}};
    const statement_texts texts{
        .timeout_log = "Timeout generating tile " + tile_id,
        .timeout_detail = "Tile generation timeout at zoom " + std::to_string(z),
        .database_log = "Database error for tile " + tile_id,
        .database_detail = "Database error",
        .other_log = "Unexpected error for tile " + tile_id,
        .other_detail = "Internal server error",
    };
    const auto started = metrics::clock::now();
    std::optional<std::string> mvt_content;
    try {
        mvt_content = co_await run_statement(svc, db, *statement, params, tile_timeout(z), texts,
                                             [](const database::result& r) { return tile_bytes(r.scalar_one_or_none()); });
    } catch (const common::timed_out&) {
        metrics::observe_tile_statement(layer_name, z, metrics::clock::now() - started, true);
        throw;
    }
    metrics::observe_tile_statement(layer_name, z, metrics::clock::now() - started, false);
    metrics::count_tile(layer_name, z, metrics::tile_source::miss, mvt_content ? mvt_content->size() : 0);

    if (mvt_content && !mvt_content->empty()) {
        co_await safe_cache_set(svc, cache_key, *mvt_content, config.cache_ttl);
        co_return common::response::raw(std::move(*mvt_content), mvt_media_type);
    }
    svc.logger->info("Empty tile generated for {} - bbox: {}", tile_id, helpers::utils::to_json(bbox).dump());
    co_return common::response::empty(204);
}

}  // namespace vectile
