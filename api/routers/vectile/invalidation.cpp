#include "routers/vectile/invalidation.hpp"

#include <exception>
#include <thread>

#include <boost/asio/co_spawn.hpp>

#include "common/cancellation.hpp"
#include "common/errors.hpp"
#include "helpers/responses/responses.hpp"
#include "routers/vectile/changes_consumer.hpp"
#include "routers/vectile/service.hpp"

namespace vectile {

// Deletes every key matching `pattern`; returns the count. Errors propagate.
boost::asio::awaitable<std::int64_t> scan_and_delete(service& svc, const std::string& pattern) {
    std::int64_t deleted_count = 0;
    std::string cursor = "0";
    do {
        std::vector<std::string_view> scan{"SCAN", cursor, "MATCH", pattern, "COUNT", "100"};
        auto reply = co_await svc.redis_client.command(std::move(scan));
        if (reply.type != redis::reply::kind::array || reply.elements.size() != 2) {
            throw redis::error("unexpected SCAN reply");
        }
        cursor = reply.elements[0].str;
        for (const auto& key : reply.elements[1].elements) {
            std::vector<std::string_view> del{"DEL", key.str};
            co_await svc.redis_client.command(std::move(del));
            ++deleted_count;
        }
    } while (cursor != "0");
    co_return deleted_count;
}

namespace {

// A generation in flight during the scan may have read the database before
// whatever made the caller invalidate, and would store its tile after the
// DEL: its lock is marked so that the tile is not stored (nor anything stored
// meanwhile kept). The count stays the scan's; a failure here is only logged.
boost::asio::awaitable<void> mark_generations(service& svc, const std::string& pattern) {
    try {
        co_await purge_matching(svc, pattern);
        co_return;
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        svc.logger->warn("Generations in flight for '{}' could not be marked: {}", pattern, e.what());
    }
    metrics::count_handled_error(metrics::component::invalidation);
}

// Which keys a worker deletes; its log lines name them.
enum class scope { layer, all, pattern };

// The steps every worker shares: delete what `pattern` matches and log the
// outcome. A failure is logged and counted as 0; `failed`, when given, is set.
boost::asio::awaitable<std::int64_t> run_worker(service& svc, scope what, std::string subject, bool* failed = nullptr) {
    std::string pattern = svc.cache.name_space + ":";
    if (what == scope::layer) pattern += subject + ":*";
    if (what == scope::all) pattern += "*";
    if (what == scope::pattern) pattern += subject;
    std::string failure;
    try {
        const auto count = co_await scan_and_delete(svc, pattern);
        co_await mark_generations(svc, pattern);
        if (what == scope::layer) svc.logger->info("Background task: Invalidated {} cache entries for layer '{}'", count, subject);
        if (what == scope::all) svc.logger->info("Background task: Invalidated ALL cache entries: {} keys deleted", count);
        if (what == scope::pattern) svc.logger->info("Background task: Invalidated {} cache entries matching pattern '{}'", count, subject);
        co_return count;
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        failure = e.what();
    }
    if (what == scope::layer) svc.logger->error("Background task failed to invalidate cache for layer '{}': {}", subject, failure);
    if (what == scope::all) svc.logger->error("Background task failed to invalidate all cache: {}", failure);
    if (what == scope::pattern) svc.logger->error("Background task failed to invalidate cache by pattern '{}': {}", subject, failure);
    metrics::count_handled_error(metrics::component::invalidation);
    if (failed != nullptr) *failed = true;
    co_return 0;
}

// What the endpoint answers when the cache could not be reached: reporting
// success would leave the caller believing stale tiles are gone.
const char* const invalidation_failed = "Cache unavailable: the tiles could not be invalidated";

}  // namespace

boost::asio::awaitable<std::int64_t> _invalidate_layer_cache_task(service& svc, std::string layer_name) {
    co_return co_await run_worker(svc, scope::layer, std::move(layer_name));
}

boost::asio::awaitable<std::int64_t> _invalidate_all_cache_task(service& svc) { co_return co_await run_worker(svc, scope::all, std::string()); }

boost::asio::awaitable<std::int64_t> _invalidate_cache_by_pattern_task(service& svc, std::string pattern) {
    co_return co_await run_worker(svc, scope::pattern, std::move(pattern));
}

namespace {

// A detached worker owns the service it works on: the worker's frame is
// destroyed before `owner` lets the service go, however the worker ends.
boost::asio::awaitable<std::int64_t> owning(std::shared_ptr<service> owner, boost::asio::awaitable<std::int64_t> worker) {
    (void)owner;
    co_return co_await std::move(worker);
}

void schedule(service& svc, boost::asio::awaitable<std::int64_t> worker) {
    if (std::this_thread::get_id() != svc.loop_thread) {
        throw std::logic_error("cache invalidation can only be scheduled from the service's event loop");
    }
    // Nobody waits for the worker: it reports through its own log lines; only
    // a cancellation (the loop torn down) can escape it.
    auto owned = owning(svc.shared_from_this(), std::move(worker));
    boost::asio::co_spawn(svc.executor, std::move(owned), [logger = svc.logger](std::exception_ptr e, std::int64_t) {
        if (e && !common::is_cancellation(e)) logger->error("Background cache invalidation ended by an unexpected error");
    });
}

}  // namespace

void invalidate_layer_cache(service& svc, const std::string& layer_name) {
    schedule(svc, _invalidate_layer_cache_task(svc, layer_name));
    svc.logger->debug("Scheduled background cache invalidation for layer '{}'", layer_name);
}

void invalidate_all_cache(service& svc) {
    schedule(svc, _invalidate_all_cache_task(svc));
    svc.logger->debug("Scheduled background cache invalidation for ALL layers");
}

void invalidate_cache_by_pattern(service& svc, const std::string& pattern) {
    schedule(svc, _invalidate_cache_by_pattern_task(svc, pattern));
    svc.logger->debug("Scheduled background cache invalidation for pattern '{}'", pattern);
}

boost::asio::awaitable<common::response> invalidate_cache_endpoint(service& svc, std::string layer_name) {
    using helpers::responses::api_response;
    using helpers::responses::api_router_response;
    bool failed = false;
    if (layer_name == "all") {
        auto count = co_await run_worker(svc, scope::all, std::string(), &failed);
        if (failed) throw common::unavailable(invalidation_failed);
        nlohmann::ordered_json data{{"deleted_count", count}};
        co_return api_router_response(
            api_response({.data = std::move(data), .message = "All cache invalidated successfully. " + std::to_string(count) + " keys deleted."}));
    }
    if (find_layer(layer_name) == nullptr) {
        throw common::not_found("Layer '" + layer_name + "' not found. Valid layers: " + quoted_layer_list(layer_names()));
    }
    auto count = co_await run_worker(svc, scope::layer, layer_name, &failed);
    if (failed) throw common::unavailable(invalidation_failed);
    nlohmann::ordered_json data;
    data["layer"] = layer_name;
    data["deleted_count"] = count;
    co_return api_router_response(api_response({.data = std::move(data),
                                                .message = "Cache for layer '" + layer_name + "' invalidated successfully. " +
                                                           std::to_string(count) + " keys deleted."}));
}

}  // namespace vectile
