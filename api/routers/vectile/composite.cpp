#include "routers/vectile/composite.hpp"

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

#include "common/errors.hpp"
#include "helpers/utils/utils.hpp"
#include "routers/vectile/config.hpp"
#include "routers/vectile/mlt_forms.hpp"
#include "routers/vectile/mvt_sql.hpp"
#include "routers/vectile/service.hpp"
#include "routers/vectile/tilejson.hpp"
#include "routers/vectile/tiles.hpp"

namespace vectile {

namespace asio = boost::asio;
using json = nlohmann::ordered_json;

namespace {

// One layer's share of a composite tile.
struct part {
    std::string layer;
    std::optional<tile_job> job;  // nothing below the layer's minimum zoom
    tile_memory::bytes bytes;
    bool hit = false;
    miss_start start;  // what the read of a missing part left for its generation
};

helpers::utils::tile_address checked_tile(std::int64_t z, std::int64_t x, std::int64_t y) {
    const auto tile = validate_tile_coords(z, x, y) ? helpers::utils::tile_address::from(z, x, y) : std::nullopt;
    if (!tile) {
        throw common::bad_request("Invalid tile coordinates: z=" + std::to_string(z) + ", x=" + std::to_string(x) +
                                  ", y=" + std::to_string(y));
    }
    return *tile;
}

// A miss of one part on a session of its own, so that the parts' statements run side by side.
asio::awaitable<tile_memory::bytes> generate_part(service& svc, tile_job job, std::shared_ptr<database::session> db, miss_start start) {
    auto made = generate_tile(svc, std::move(job), *db, std::move(start));
    co_return co_await std::move(made);
}

// Reads every part from the cache and makes those that are missing, as the
// XYZ route would: the same keys, statements, coalescing and metrics.
asio::awaitable<void> fill_parts(service& svc, std::vector<part>& parts, helpers::utils::tile_address tile, database::session& db) {
    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        auto& p = parts[i];
        if (!p.job) continue;
        auto from = metrics::tile_source::redis;
        auto read = cached_tile(svc, p.job->cache_key, &from, &p.start);
        auto cached = co_await std::move(read);
        if (cached && !cached->empty()) {
            metrics::count_tile(p.layer, tile.z, from, cached->size());
            p.bytes = std::move(cached);
            p.hit = true;
        } else {
            missing.push_back(i);
        }
    }
    if (missing.empty()) co_return;

    if (missing.size() == 1 || !svc.sessions) {
        // A session serves one statement: without a session factory only one part can be made.
        if (missing.size() > 1) throw common::internal_error("Composite tiles need a session per layer");
        auto& p = parts[missing.front()];
        auto made = generate_tile(svc, *p.job, db, std::move(p.start));
        p.bytes = co_await std::move(made);
        metrics::count_tile(p.layer, tile.z, metrics::tile_source::miss, p.bytes ? p.bytes->size() : 0);
        co_return;
    }
    // Side by side, each on a session of its own.
    auto ex = co_await asio::this_coro::executor;
    using op_type = decltype(asio::co_spawn(ex, generate_part(svc, tile_job{}, nullptr, miss_start()), asio::deferred));
    std::vector<op_type> ops;
    for (auto i : missing) {
        std::shared_ptr<database::session> own = svc.sessions();
        ops.push_back(asio::co_spawn(ex, generate_part(svc, *parts[i].job, std::move(own), std::move(parts[i].start)), asio::deferred));
    }
    auto group = asio::experimental::make_parallel_group(std::move(ops));
    auto waited = group.async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
    auto [order, failures, made] = co_await std::move(waited);
    (void)order;
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (failures[k]) std::rethrow_exception(failures[k]);
        auto& p = parts[missing[k]];
        p.bytes = std::move(made[k]);
        metrics::count_tile(p.layer, tile.z, metrics::tile_source::miss, p.bytes ? p.bytes->size() : 0);
    }
}

// One layer's TileJSON on a session of its own; owns what it reads.
asio::awaitable<json> describe_layer(service& svc, std::string name, std::shared_ptr<const common::request> req,
                                     std::shared_ptr<database::session> db) {
    auto describing = get_tilejson(svc, std::move(name), *req, *db);
    auto answer = co_await std::move(describing);
    co_return json::parse(answer.body);
}

// The whole answer for parts in `encoding`: their bytes one after the other
// (a sequence of MVT layers is an MVT, and so it is for MLT).
asio::awaitable<tile_memory::bytes> joined(service& svc, const std::vector<part>& parts, tile_encoding encoding) {
    std::vector<tile_memory::bytes> pieces;
    for (const auto& p : parts) {
        if (!p.bytes || p.bytes->empty()) continue;
        if (encoding == tile_encoding::mvt) {
            pieces.push_back(p.bytes);
        } else {
            auto converting = svc.mlt->convert(p.bytes);
            pieces.push_back(co_await std::move(converting));
        }
    }
    if (pieces.empty()) co_return nullptr;
    if (pieces.size() == 1) co_return pieces.front();
    std::size_t size = 0;
    for (const auto& b : pieces) size += b->size();
    auto out = std::make_shared<std::string>();
    out->reserve(size);
    for (const auto& b : pieces) out->append(*b);
    co_return out;
}

const char* media_type(tile_encoding encoding) { return encoding == tile_encoding::mlt ? mlt_media_type : mvt_media_type; }

}  // namespace

std::vector<std::string> parse_layer_list(std::string_view list) {
    std::vector<std::string> out;
    for (;;) {
        const auto comma = list.find(',');
        std::string name(list.substr(0, comma));
        if (find_layer(name) == nullptr || std::find(out.begin(), out.end(), name) != out.end()) {
            throw common::not_found("Layer '" + name + "' not found");
        }
        out.push_back(std::move(name));
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return out;
}

tile_encoding parse_tile_encoding(const std::string& value) {
    if (value == "mlt") return tile_encoding::mlt;
    if (value.empty() || value == "mvt") return tile_encoding::mvt;
    throw common::bad_request("Unknown tile encoding '" + value + "': use mvt or mlt");
}

asio::awaitable<common::response> get_tile_composite(service& svc, std::string layers, std::int64_t z, std::int64_t x, std::int64_t y,
                                                     database::session& db, tile_encoding encoding) {
    const auto names = parse_layer_list(layers);
    const auto tile = checked_tile(z, x, y);

    std::vector<part> parts;
    std::optional<std::int64_t> ttl;
    for (const auto& name : names) {
        part p{.layer = name};
        try {
            p.job = xyz_tile_job(name, tile);
            ttl = std::min(ttl.value_or(p.job->ttl), p.job->ttl);
        } catch (const invalid_argument&) {
            // Below the layer's range: this layer has nothing here.
        }
        parts.push_back(std::move(p));
    }
    if (!ttl) co_return common::response::empty(204);

    auto filling = fill_parts(svc, parts, tile, db);
    co_await std::move(filling);
    const bool all_hits = std::all_of(parts.begin(), parts.end(), [](const part& p) { return !p.job || p.hit; });
    auto joining = joined(svc, parts, encoding);
    auto body = co_await std::move(joining);
    if (!body) co_return common::response::empty(204);
    co_return common::response::raw(std::move(body), media_type(encoding),
                                     {{"Cache-Control", "public, max-age=" + std::to_string(*ttl)}, {"X-Cache", all_hits ? "HIT" : "MISS"}});
}

asio::awaitable<common::response> get_tile_xyz_mlt(service& svc, std::string layer_name, std::int64_t z, std::int64_t x, std::int64_t y,
                                                   database::session& db) {
    auto answering = get_tile_xyz(svc, std::move(layer_name), z, x, y, db);
    auto answer = co_await std::move(answering);
    if (answer.status != 200) co_return answer;
    auto mvt = answer.shared_body ? answer.shared_body : std::make_shared<const std::string>(std::move(answer.body));
    auto converting = svc.mlt->convert(std::move(mvt));
    answer.shared_body = co_await std::move(converting);
    answer.body.clear();
    answer.media_type = mlt_media_type;
    co_return answer;
}

asio::awaitable<common::response> get_composite_tilejson(service& svc, std::string layers, std::string encoding,
                                                         const common::request& req, database::session& db) {
    const auto names = parse_layer_list(layers);
    const auto wanted = parse_tile_encoding(encoding);
    json doc;
    json vector_layers = json::array();
    std::optional<json> bounds;
    int min_zoom = 99;
    std::vector<json> described;
    if (names.size() == 1 || !svc.sessions) {
        if (names.size() > 1) throw common::internal_error("Composite TileJSON needs a session per layer");
        auto describing = get_tilejson(svc, names.front(), req, db);
        auto one = co_await std::move(describing);
        described.push_back(json::parse(one.body));
    } else {
        auto ex = co_await asio::this_coro::executor;
        auto shared_req = std::make_shared<const common::request>(req);
        using op_type = decltype(asio::co_spawn(ex, describe_layer(svc, std::string(), nullptr, nullptr), asio::deferred));
        std::vector<op_type> ops;
        for (const auto& name : names) {
            std::shared_ptr<database::session> own = svc.sessions();
            ops.push_back(asio::co_spawn(ex, describe_layer(svc, name, shared_req, std::move(own)), asio::deferred));
        }
        auto group = asio::experimental::make_parallel_group(std::move(ops));
        auto waited = group.async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
        auto [order, failures, docs] = co_await std::move(waited);
        (void)order;
        for (auto& f : failures) {
            if (f) std::rethrow_exception(f);
        }
        described = std::move(docs);
    }
    for (auto& layer : described) {
        if (doc.empty()) doc = layer;
        const auto& b = layer.at("bounds");
        if (!bounds) {
            bounds = b;
        } else {
            for (int i = 0; i < 4; ++i) {
                const double v = b[i].get<double>(), have = (*bounds)[i].get<double>();
                (*bounds)[i] = i < 2 ? std::min(v, have) : std::max(v, have);
            }
        }
        min_zoom = std::min(min_zoom, layer.at("minzoom").get<int>());
        for (auto& v : layer.at("vector_layers")) vector_layers.push_back(std::move(v));
    }
    const std::string base = common::public_base(req, svc.urls);
    const std::string suffix = wanted == tile_encoding::mlt ? ".mlt" : ".pbf";
    doc["name"] = layers;
    doc["tiles"] = json::array({base + "/gis/tiles/" + layers + "/{z}/{x}/{y}" + suffix});
    doc["minzoom"] = min_zoom;
    doc["bounds"] = *bounds;
    const double lon = ((*bounds)[0].get<double>() + (*bounds)[2].get<double>()) / 2;
    const double lat = ((*bounds)[1].get<double>() + (*bounds)[3].get<double>()) / 2;
    doc["center"] = {lon, lat, std::max(min_zoom, 1)};
    doc["vector_layers"] = std::move(vector_layers);
    if (wanted == tile_encoding::mlt) doc["encoding"] = "mlt";
    co_return common::response::raw(doc.dump(), "application/json", {{"Cache-Control", "public, max-age=300"}});
}

}  // namespace vectile
