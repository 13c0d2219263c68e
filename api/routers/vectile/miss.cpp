#include "routers/vectile/miss.hpp"

#include <algorithm>
#include <exception>
#include <memory>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "routers/vectile/service.hpp"
#include "routers/vectile/tile_lock.hpp"

namespace vectile {

namespace asio = boost::asio;
using clock = std::chrono::steady_clock;

asio::awaitable<tile_memory::bytes> make_tile(service& svc, database::session& db, const tile_job& job, clock::duration limit) {
    const auto started = metrics::clock::now();
    std::optional<std::string> content;
    try {
        const auto made = co_await run_statement(svc, db, job.sql, job.params, limit, job.texts);
        content = tile_bytes(made);
    } catch (const common::timed_out&) {
        if (!job.layer.empty()) metrics::observe_tile_statement(job.layer, job.zoom, metrics::clock::now() - started, true);
        throw;
    }
    if (!job.layer.empty()) metrics::observe_tile_statement(job.layer, job.zoom, metrics::clock::now() - started, false);
    if (!content || content->empty()) co_return nullptr;
    co_return std::make_shared<const std::string>(std::move(*content));
}

namespace {

asio::awaitable<tile_memory::bytes> run_and_store(service& svc, database::session& db, const tile_job& job, clock::duration limit) {
    auto bytes = co_await make_tile(svc, db, job, limit);
    if (bytes) co_await safe_cache_set(svc, job.cache_key, *bytes, job.ttl);
    co_return bytes;
}

// Renews a held lock until told to stop, so that only a dead owner's lock expires.
struct renewal {
    explicit renewal(asio::any_io_executor ex) : timer(ex) {}
    asio::steady_timer timer;
    bool stopped = false;
};

asio::awaitable<void> keep_renewing(std::shared_ptr<tile_lock> lock, std::shared_ptr<renewal> state) {
    while (!state->stopped) {
        state->timer.expires_after(tile_lock::renewal);
        co_await state->timer.async_wait(asio::as_tuple(asio::use_awaitable));
        if (state->stopped) co_return;
        co_await lock->renew();
    }
}

// Generates while holding the lock, and gives it up however generation ends:
// with the tile stored in the same round trip, or as an empty tile's notice.
asio::awaitable<tile_memory::bytes> generate_locked(service& svc, database::session& db, const tile_job& job, clock::duration limit,
                                                    std::shared_ptr<tile_lock> lock) {
    auto ex = co_await asio::this_coro::executor;
    auto state = std::make_shared<renewal>(ex);
    asio::co_spawn(ex, keep_renewing(lock, state), asio::detached);
    tile_memory::bytes out;
    std::exception_ptr failure;
    try {
        out = co_await make_tile(svc, db, job, limit);
    } catch (...) {
        failure = std::current_exception();
    }
    state->stopped = true;
    state->timer.cancel();
    // Released even when cancelled, so other processes need not wait for the expiry.
    if (failure && common::is_cancellation(failure)) co_await asio::this_coro::reset_cancellation_state();
    if (failure) {
        co_await lock->release();
        std::rethrow_exception(failure);
    }
    if (!out) {
        co_await lock->release_empty();
        co_return out;
    }
    const auto stored = co_await lock->store_and_release(*out, job.ttl);
    if (stored == tile_lock::store_outcome::failed) svc.logger->warn("Cache set failed for {}: ", job.cache_key);
    if (stored == tile_lock::store_outcome::refused) metrics::count_stale_write_refused();
    co_return out;
}

// The one generation of a key in this process. Owns its arguments and a
// share of the service: it may outlive every request that waits for it.
// `start` is a parameter, so that a generation dropped unstarted (another of
// the key was in flight here) gives up the lock its request took.
asio::awaitable<tile_memory::bytes> lead(std::shared_ptr<service> owner, tile_job job, miss_start start) {
    service& svc = *owner;
    const auto deadline = clock::now() + job.limit;
    auto db = svc.sessions();
    const bool known = start.known();
    const auto found = start.what();
    auto given = start.take();
    // The lock shares the service's ownership through its connection, for its renewals.
    auto lock = given ? given
                      : std::make_shared<tile_lock>(std::shared_ptr<redis::connection>(owner, &svc.redis_client),
                                                    svc.cache._make_key(job.cache_key));
    for (bool first = true;; first = false) {
        using kind = tile_lock::first_look::kind;
        tile_lock::first_look look;
        if (first && known) {
            // The request's own read has just looked: taken, held or unusable.
            look.what = found;
        } else {
            // One round trip: the previous owner may have stored the tile since
            // the last look; if not, the lock.
            look = co_await lock->read_or_take();
        }
        if (look.what == kind::tile) co_return std::make_shared<const std::string>(std::move(look.bytes));
        if (look.what == kind::held) {
            auto waited = co_await lock->wait(deadline);
            if (waited.what == tile_lock::outcome::kind::tile) co_return std::make_shared<const std::string>(std::move(waited.bytes));
            if (waited.what == tile_lock::outcome::kind::empty) co_return nullptr;
            if (waited.what == tile_lock::outcome::kind::timed_out) {
                svc.logger->error("{}", job.texts.timeout_log);
                throw common::timed_out(job.texts.timeout_detail);
            }
            continue;  // the lock is free again: take it
        }
        // What is left of the first caller's deadline, so no request waits longer than without the lock.
        const auto limit = std::max<clock::duration>(deadline - clock::now(), std::chrono::milliseconds(1));
        if (look.what == kind::unusable) co_return co_await run_and_store(svc, *db, job, limit);  // Redis unusable: no lock
        co_return co_await generate_locked(svc, *db, job, limit, lock);
    }
}

}  // namespace

asio::awaitable<tile_memory::bytes> generate_tile(service& svc, tile_job job, database::session& db, miss_start start) {
    if (!svc.coalescing || !svc.sessions) co_return co_await run_and_store(svc, db, job, job.limit);
    co_await db.close();
    std::string key = job.cache_key;
    auto work = lead(svc.shared_from_this(), std::move(job), std::move(start));
    co_return co_await svc.flights.join(std::move(key), std::move(work));
}

}  // namespace vectile
