#pragma once
// The tile router deliverable: its load step and the objects it shares
// between requests (logger, Redis connection, cache, router).

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <spdlog/logger.h>

#include "common/public_url.hpp"
#include "common/route.hpp"
#include "database/database.hpp"
#include "metrics/metrics.hpp"
#include "redis/connection.hpp"
#include "redis/sentinel.hpp"
#include "redis/tracking.hpp"
#include "routers/vectile/cache.hpp"
#include "routers/vectile/config.hpp"
#include "routers/vectile/memory.hpp"
#include "routers/vectile/mlt_forms.hpp"
#include "routers/vectile/single_flight.hpp"
#include "routers/vectile/tile_lock.hpp"

namespace vectile {

namespace asio = boost::asio;

// Everything the load step creates. Lives from load to process exit; nothing
// in it changes after load except what Redis holds. Always owned by a
// shared_ptr: work that may outlive the request that started it (a shared
// miss, a lock renewal, a background invalidation) holds a share.
class service : public std::enable_shared_from_this<service> {
public:
    service(asio::any_io_executor executor, const redis_settings& settings);
    service(const service&) = delete;
    service& operator=(const service&) = delete;

    asio::any_io_executor executor;
    // The thread that runs the loop (the one that loaded the service).
    std::thread::id loop_thread = std::this_thread::get_id();
    std::shared_ptr<spdlog::logger> logger;
    common::router router;
    redis_settings settings;
    // With REDIS_SENTINELS: where the cache connection and the change feed find the primary.
    std::shared_ptr<redis::sentinel> sentinel;
    redis::connection redis_client;
    BinaryRedisCache cache;
    // Copies of hot tiles, kept only while `tracking` reports Redis's changes.
    // Shared with reads in flight, which may end after the service.
    std::shared_ptr<tile_memory> memory;
    redis::tracking tracking;
    // How documents that other programs load (TileJSON, the style) name this server.
    common::public_url_options urls;
    // Sessions for the tile statements that concurrent misses share (the
    // host's session factory). Unset: every miss runs on its request's session.
    std::function<std::unique_ptr<database::session>()> sessions;
    // Concurrent misses of a key share one statement (see generate_tile);
    // off only to measure what that saves.
    bool coalescing = true;
    single_flight flights;
    // What is stored without a tile lock is registered this long for the
    // second purge of the edits (see changes_consumer.hpp): longer than the
    // consumer's settle.
    std::chrono::milliseconds lockless_retention{40000};
    // The tiles' MLT forms, made on demand from their MVT bytes.
    std::shared_ptr<mlt_forms> mlt = std::make_shared<mlt_forms>();
};

// The load step: configures logging (INFO, unless the host already did),
// reads the Redis settings, creates the connection (no command is sent) and
// the cache, writes the four start-up lines to `out` and registers the
// routes. Throws std::invalid_argument when REDIS_PORT or REDIS_DB is not an
// integer. The caller owns the result and must keep it alive while the
// loop runs.
std::shared_ptr<service> load(asio::any_io_executor executor, std::ostream& out);

// A cache read that never fails: the bytes, or nothing on a miss, on a
// time-out (the read is then cancelled) or on any Redis failure, each failure
// with one warning line. Cancellation of the caller is passed on.
asio::awaitable<std::optional<std::string>> safe_cache_get(service& svc, std::string key,
                                                          std::chrono::milliseconds timeout = std::chrono::seconds(1));

// `safe_cache_get` for a tile, answered from the worker's copy when there is
// one; a tile read from Redis is kept as a copy.
// Null when there is nothing; `from` (when given) says where a tile came from.
// With `start` and coalescing on, the read from Redis also takes the tile's
// lock when the tile is missing (tile_lock::read_or_take), and leaves what it
// found in `start` for generate_tile: a miss then costs one round trip before
// its statement.
asio::awaitable<tile_memory::bytes> cached_tile(service& svc, std::string key, metrics::tile_source* from = nullptr,
                                                miss_start* start = nullptr);

// Where writes made without a tile lock are registered (a sorted set of keys
// by the server's time), so that the second purge of an edit finds them.
std::string lockless_registry(const service& svc);

// Where a layer's bounding-box tiles are registered (a sorted set of their keys
// within the namespace, by when they expire, in ms of the server's time), so
// that an edit's purge finds those its boxes meet without scanning the keyspace.
std::string bbox_registry(const service& svc, const std::string& layer);

// Registers a bounding-box tile's key for `ttl` seconds, before it is made, so
// that a purge while it is made finds it (and marks its generation stale).
// Throws redis::error.
asio::awaitable<void> register_bbox_tile(service& svc, std::string layer, std::string key, std::int64_t ttl);

// A cache write that never fails: Redis failures, and a write that takes
// longer than `timeout` (it is then cancelled), become one warning line. The
// value is borrowed, not copied: it must outlive the awaited write. The key is
// registered in lockless_registry() in the same round trip.
asio::awaitable<void> safe_cache_set(service& svc, std::string key, std::string_view value, std::int64_t ttl,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(1));

// GET /gis/health/
asio::awaitable<common::response> health_check(service& svc);

}  // namespace vectile
