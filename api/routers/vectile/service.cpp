#include "routers/vectile/service.hpp"

#include <ostream>

#include <boost/system/system_error.hpp>
#include <nlohmann/json.hpp>

#include "logger/logger.hpp"
#include "routers/vectile/routes.hpp"
#include "routers/vectile/tile_lock.hpp"
#include "common/cancellation.hpp"
#include "common/deadline.hpp"

namespace vectile {

namespace {

// The tile cache's connection and the change feed's talk to the same server alike.
redis::options redis_options(const redis_settings& s, std::shared_ptr<redis::sentinel> sentinel) {
    return redis::options{.host = s.host,
                          .port = s.port,
                          .db = s.db,
                          .password = s.password,
                          .sentinel = std::move(sentinel),
                          .connect_timeout = std::chrono::seconds(5),
                          .socket_timeout = std::chrono::seconds(5)};
}

std::shared_ptr<redis::sentinel> make_sentinel(asio::any_io_executor ex, const redis_settings& s) {
    if (s.sentinels.empty()) return nullptr;
    return std::make_shared<redis::sentinel>(
        ex, redis::sentinel_options{.sentinels = s.sentinels, .master = s.sentinel_master, .password = s.sentinel_password});
}

}  // namespace

service::service(asio::any_io_executor ex, const redis_settings& s)
    : executor(ex),
      logger(logger::get_logger("vectile")),
      router("/gis", {"GIS Tiles"}),
      settings(s),
      sentinel(make_sentinel(ex, s)),
      redis_client(ex, redis_options(s, sentinel)),
      cache(redis_client, "mvt_v8"),
      memory(std::make_shared<tile_memory>(static_cast<std::size_t>(s.memory_cache_mb) << 20)),
      tracking(ex, redis_options(s, sentinel), cache.name_space + ":",
               [this, prefix = cache.name_space + ":"](std::optional<std::string_view> key) {
                   // A key changed in Redis (stored, or deleted by an edit's
                   // purge): this process's copy, and a generation in flight that
                   // may predate the change, no longer answer later requests.
                   if (key) {
                       memory->invalidate(*key);
                       if (key->starts_with(prefix)) flights.forget(key->substr(prefix.size()));
                   } else {
                       memory->clear();
                       flights.forget_all();
                   }
               },
               tile_lock::stale_channel(cache.name_space)) {}

std::shared_ptr<service> load(asio::any_io_executor executor, std::ostream& out) {
    logger::configure_logging(spdlog::level::info);
    auto settings = read_redis_settings();
    auto svc = std::make_shared<service>(executor, settings);
    out << "\u2713 Binary Redis cache initialized (no UTF-8 decoding)" << std::endl;
    out << "  - Namespace: " << svc->cache.name_space << std::endl;
    if (settings.sentinels.empty()) {
        out << "  - Redis: " << settings.host << ":" << settings.port << "/" << settings.db << std::endl;
    } else {
        out << "  - Redis: primary '" << settings.sentinel_master << "' of " << settings.sentinels.size() << " sentinels/" << settings.db
            << std::endl;
    }
    out << "  - decode_responses: False (handles binary data)" << std::endl;
    register_routes(*svc);
    for (const auto& name : layer_names()) metrics::add_layer(name);
    return svc;
}

asio::awaitable<std::optional<std::string>> safe_cache_get(service& svc, std::string key, std::chrono::milliseconds timeout) {
    std::string failure;
    try {
        auto got = co_await common::with_deadline(svc.cache.get(key), timeout);
        if (got) co_return std::move(*got);
        // Timed out: the read was cancelled; the warning carries no description.
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        failure = e.what();
    }
    svc.logger->warn("Cache get failed for {}: {}", key, failure);
    co_return std::nullopt;
}

namespace {

// Ends a read of the copy's key however the read ends. It shares the store:
// a request still suspended when the loop is torn down ends after the service.
struct copy_read {
    copy_read(service& svc, const std::string& key) : memory(svc.memory), key(key) { memory->begin(key); }
    ~copy_read() { memory->finish(key, value); }
    std::shared_ptr<tile_memory> memory;
    const std::string& key;
    tile_memory::bytes value;
};

asio::awaitable<tile_memory::bytes> shared_cache_get(service& svc, std::string key) {
    auto got = co_await safe_cache_get(svc, std::move(key));
    if (!got) co_return nullptr;
    co_return std::make_shared<const std::string>(std::move(*got));
}

// The read of a tile that takes its lock when it is missing. Bounded and
// reported like safe_cache_get: a failure is a miss with one warning.
asio::awaitable<tile_memory::bytes> read_or_lock(service& svc, std::string key, miss_start& start) {
    auto lock = std::make_shared<tile_lock>(std::shared_ptr<redis::connection>(svc.shared_from_this(), &svc.redis_client),
                                            svc.cache._make_key(key));
    std::string failure;
    auto look = co_await lock->read_or_take(std::chrono::seconds(1), &failure);
    using kind = tile_lock::first_look::kind;
    if (look.what == kind::tile) co_return std::make_shared<const std::string>(std::move(look.bytes));
    if (look.what == kind::unusable) svc.logger->warn("Cache get failed for {}: {}", key, failure);
    start = miss_start(svc.executor, std::move(lock), look.what);
    co_return nullptr;
}

asio::awaitable<tile_memory::bytes> redis_read(service& svc, std::string key, miss_start* start) {
    // A generation of the key already in flight here takes the lock itself: a
    // request that took it would only join that generation, holding it.
    if (start == nullptr || !svc.coalescing || !svc.sessions || svc.flights.in_flight(key))
        co_return co_await shared_cache_get(svc, std::move(key));
    co_return co_await read_or_lock(svc, std::move(key), *start);
}

}  // namespace

asio::awaitable<tile_memory::bytes> cached_tile(service& svc, std::string key, metrics::tile_source* from, miss_start* start) {
    if (from != nullptr) *from = metrics::tile_source::redis;
    if (svc.memory->capacity() == 0) co_return co_await redis_read(svc, std::move(key), start);
    const std::string full_key = svc.cache._make_key(key);
    // live() first takes in the changes Redis has already reported.
    if (!svc.tracking.live()) co_return co_await redis_read(svc, std::move(key), start);
    if (auto copy = svc.memory->find(full_key)) {
        if (from != nullptr) *from = metrics::tile_source::memory;
        co_return copy;
    }
    copy_read read(svc, full_key);
    read.value = co_await redis_read(svc, std::move(key), start);
    co_return read.value;
}

std::string lockless_registry(const service& svc) { return "lockless:" + svc.cache.name_space; }

std::string bbox_registry(const service& svc, const std::string& layer) { return "bboxes:" + svc.cache.name_space + ":" + layer; }

namespace {

// ZADD of ARGV[1] to KEYS[1] until ARGV[2] ms from the server's time; the
// members whose time has passed go, and the set goes with its last member.
const char* const register_script =
    "local t = redis.call('TIME') "
    "local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) "
    "redis.call('ZADD', KEYS[1], now + tonumber(ARGV[2]), ARGV[1]) "
    "redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now) "
    "if redis.call('PTTL', KEYS[1]) < tonumber(ARGV[2]) then redis.call('PEXPIRE', KEYS[1], ARGV[2]) end "
    "return 1";

}  // namespace

asio::awaitable<void> register_bbox_tile(service& svc, std::string layer, std::string key, std::int64_t ttl) {
    const std::string registry = bbox_registry(svc, layer);
    const std::string ms = std::to_string(ttl * 1000);
    std::vector<std::string_view> argv{"EVAL", register_script, "1", registry, key, ms};
    co_await svc.redis_client.command(std::move(argv));
}

namespace {

// SET with an expiry, and the key registered with the server's time (ms) in
// the sorted set KEYS[2], trimmed to the last ARGV[4] ms.
const char* const set_registered_script =
    "redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2]) "
    "local t = redis.call('TIME') "
    "local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) "
    "redis.call('ZADD', KEYS[2], now, ARGV[3]) "
    "redis.call('ZREMRANGEBYSCORE', KEYS[2], '-inf', now - tonumber(ARGV[4])) "
    "redis.call('PEXPIRE', KEYS[2], ARGV[4]) "
    "return 1";

asio::awaitable<void> set_registered(service& svc, std::string key, std::string_view value, std::int64_t ttl) {
    const std::string full_key = svc.cache._make_key(key);
    const std::string registry = lockless_registry(svc);
    const std::string expiry = std::to_string(ttl);
    const std::string keep = std::to_string(svc.lockless_retention.count());
    std::vector<std::string_view> argv{"EVAL", set_registered_script, "2", full_key, registry, value, expiry, key, keep};
    co_await svc.redis_client.command(std::move(argv));
}

}  // namespace

asio::awaitable<void> safe_cache_set(service& svc, std::string key, std::string_view value, std::int64_t ttl,
                                     std::chrono::milliseconds timeout) {
    std::string failure;
    try {
        // Bounded like the read: a frozen Redis must not hold an answer that is ready.
        if (co_await common::with_deadline(set_registered(svc, key, value, ttl), timeout)) co_return;
        // Timed out: the write was cancelled; the warning carries no description.
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        failure = e.what();
    }
    svc.logger->warn("Cache set failed for {}: {}", key, failure);
}

asio::awaitable<common::response> health_check(service& svc) {
    bool healthy = false;
    try {
        // Straight to the cache (no warning line); any completed read counts.
        auto got = co_await common::with_deadline(svc.cache.get("health_check"), std::chrono::seconds(2));
        healthy = got.has_value();
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        // Handled: the answer says the cache is unhealthy.
    }
    nlohmann::ordered_json body;
    body["status"] = "healthy";
    body["cache_status"] = healthy ? "healthy" : "unhealthy";
    body["available_layers"] = layer_names();
    body["zoom_support"] = "1-20 with layer-specific minimums";
    co_return common::json_response(body);
}

}  // namespace vectile
