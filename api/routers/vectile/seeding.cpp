#include "routers/vectile/seeding.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/cancellation.hpp"
#include "common/deadline.hpp"
#include "helpers/utils/utils.hpp"
#include "logger/logger.hpp"
#include "routers/vectile/mvt_sql.hpp"
#include "routers/vectile/service.hpp"
#include "routers/vectile/tiles.hpp"

namespace vectile {

namespace asio = boost::asio;
using clock = std::chrono::steady_clock;

tile_range tile_range_of(const degree_box& box, int z) {
    auto corner = [z](double lat, double lon) {
        auto t = helpers::utils::latlon_to_xyz(lat, lon, z);
        return std::pair<int, int>{t["x"].get<int>(), t["y"].get<int>()};
    };
    const auto [x_min, y_min] = corner(box.north, box.west);
    const auto [x_max, y_max] = corner(box.south, box.east);
    return tile_range{z, x_min, x_max, y_min, y_max};
}

namespace {

// The layers' tile ranges, walked one tile at a time.
class tile_walk {
public:
    void add(std::string layer, tile_range r) {
        if (r.count() > 0) m_ranges.emplace_back(std::move(layer), r);
    }
    std::uint64_t total() const {
        std::uint64_t n = 0;
        for (const auto& [layer, r] : m_ranges) n += r.count();
        return n;
    }
    std::optional<std::pair<std::string, helpers::utils::tile_address>> next() {
        if (m_at >= m_ranges.size()) return std::nullopt;
        const auto& [layer, r] = m_ranges[m_at];
        helpers::utils::tile_address t{r.z, r.x_min + m_x, r.y_min + m_y};
        if (++m_y > r.y_max - r.y_min) {
            m_y = 0;
            if (++m_x > r.x_max - r.x_min) {
                m_x = 0;
                ++m_at;
            }
        }
        return std::pair{layer, t};
    }

private:
    std::vector<std::pair<std::string, tile_range>> m_ranges;
    std::size_t m_at = 0;
    int m_x = 0, m_y = 0;
};

// The layer's extent in degrees, or nothing for a layer without rows.
asio::awaitable<std::optional<degree_box>> layer_extent(service& svc, const std::string& layer_name) {
    const layer_record& layer = *find_layer(layer_name);
    auto db = svc.sessions();
    const std::string sql = "SELECT ST_XMin(e) AS w, ST_YMin(e) AS s, ST_XMax(e) AS e, ST_YMax(e) AS n FROM ("
                            "SELECT ST_Transform(ST_SetSRID(ST_Extent(" + layer.geom_col + ")::geometry, 3857), 4326) AS e "
                            "FROM " + layer.table + ") AS x";
    auto r = co_await db->execute(sql);
    co_await db->close();
    auto row = r.first();
    if (!row || row->is_null("w")) co_return std::nullopt;
    co_return degree_box{row->real("w"), row->real("s"), row->real("e"), row->real("n")};
}

asio::awaitable<bool> is_cached(service& svc, const std::string& key) {
    try {
        const std::string full_key = svc.cache._make_key(key);
        std::vector<std::string_view> argv{"EXISTS", full_key};
        auto r = co_await common::with_deadline(svc.redis_client.command(std::move(argv)), std::chrono::seconds(1));
        co_return r && r->integer > 0;
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        // Handled: the tile is made again; Redis's failure is logged by its connection.
        metrics::count_handled_error(metrics::component::seeding);
    }
    co_return false;  // unknown: generate it
}

// What the workers of one run share; each holds it, as they may end after
// the coroutine that started them (a cancelled run waits, but a loop torn
// down destroys them in any order).
struct seed_run {
    std::shared_ptr<service> svc;
    seed_request request;
    seed_observer observer;
    tile_walk walk;
    seed_summary summary;
    int running = 0;
    std::optional<asio::steady_timer> all_done;
};

asio::awaitable<void> seed_one(seed_run& run, const std::string& layer, helpers::utils::tile_address tile) {
    auto& sum = run.summary;
    const std::string name = layer + "/" + std::to_string(tile.z) + "/" + std::to_string(tile.x) + "/" + std::to_string(tile.y);
    try {
        std::optional<tile_job> job;
        try {
            job = xyz_tile_job(layer, tile);
        } catch (const invalid_argument&) {
            ++sum.empty;  // below the layer's minimum zoom: empty without a statement
            co_return;
        }
        bool cached = false;
        if (!run.request.force) cached = co_await is_cached(*run.svc, job->cache_key);
        if (cached) {
            ++sum.skipped;
            co_return;
        }
        auto db = run.svc->sessions();
        auto bytes = co_await generate_tile(*run.svc, std::move(*job), *db);
        if (bytes) {
            ++sum.stored;
            sum.bytes += bytes->size();
        } else {
            ++sum.empty;
        }
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        ++sum.failed;
        if (run.observer.failure) run.observer.failure(name, e.what());
    }
}

asio::awaitable<void> seed_worker(std::shared_ptr<seed_run> run) {
    while (auto item = run->walk.next()) {
        co_await seed_one(*run, item->first, item->second);
        if (run->observer.progress) run->observer.progress(run->summary);
    }
}

}  // namespace

asio::awaitable<seed_summary> seed_tiles(service& svc, seed_request request, seed_observer observer) {
    const auto started = clock::now();
    auto ex = co_await asio::this_coro::executor;
    auto run = std::make_shared<seed_run>(seed_run{svc.shared_from_this(), std::move(request), std::move(observer), {}, {}, 0, std::nullopt});
    run->all_done.emplace(ex, asio::steady_timer::time_point::max());
    for (const auto& layer : run->request.layers) {
        auto box = run->request.bbox;
        if (!box) box = co_await layer_extent(svc, layer);
        if (!box) continue;
        for (int z = run->request.zoom_min; z <= run->request.zoom_max; ++z) run->walk.add(layer, tile_range_of(*box, z));
    }
    run->summary.tiles = run->walk.total();
    if (run->observer.progress) run->observer.progress(run->summary);

    // The workers run on coroutines of their own, so that a cancellation of
    // this one (Ctrl-C) can be passed on to each and their ends still awaited.
    const int workers = std::max(1, run->request.concurrency);
    std::vector<asio::cancellation_signal> cancels(static_cast<std::size_t>(workers));
    run->running = workers;
    for (auto& cancel : cancels) {
        asio::co_spawn(ex, seed_worker(run), asio::bind_cancellation_slot(cancel.slot(), [run](std::exception_ptr) {
                           if (--run->running == 0) run->all_done->cancel();
                       }));
    }
    while (run->running > 0) {
        auto [ec] = co_await run->all_done->async_wait(asio::as_tuple(asio::use_awaitable));
        if (run->running == 0) break;
        if (ec) {
            // Cancelled: stop the workers, then wait for them to end.
            run->summary.interrupted = true;
            for (auto& cancel : cancels) cancel.emit(asio::cancellation_type::all);
        }
        co_await asio::this_coro::reset_cancellation_state();
    }
    run->summary.seconds = std::chrono::duration<double>(clock::now() - started).count();
    co_return run->summary;
}

asio::awaitable<std::uint64_t> purge_tiles(service& svc, seed_request request) {
    if (!request.bbox) throw std::invalid_argument("purge needs a bounding box");
    std::uint64_t removed = 0;
    std::vector<std::string> keys;
    auto flush = [&]() -> asio::awaitable<void> {
        if (keys.empty()) co_return;
        std::vector<std::string_view> argv{"DEL"};
        for (const auto& k : keys) argv.emplace_back(k);
        auto r = co_await svc.redis_client.command(std::move(argv));
        removed += static_cast<std::uint64_t>(r.integer);
        keys.clear();
    };
    for (const auto& layer : request.layers) {
        for (int z = request.zoom_min; z <= request.zoom_max; ++z) {
            const auto r = tile_range_of(*request.bbox, z);
            for (int x = r.x_min; x <= r.x_max; ++x) {
                for (int y = r.y_min; y <= r.y_max; ++y) {
                    keys.push_back(svc.cache._make_key(xyz_cache_key(layer, {z, x, y})));
                    // Batches keep each command's reply time short.
                    if (keys.size() == 500) co_await flush();
                }
            }
        }
    }
    co_await flush();
    co_return removed;
}

}  // namespace vectile
