#include "routers/vectile/tile_lock.hpp"

#include <algorithm>
#include <vector>
#include <atomic>
#include <cstdio>
#include <random>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/cancellation.hpp"
#include "common/deadline.hpp"
#include "metrics/metrics.hpp"

namespace vectile {

namespace asio = boost::asio;

namespace {

// Reading a tile (up to a few hundred kilobytes) may take longer.
constexpr std::chrono::milliseconds read_bound{1000};

// Compare-and-delete: only the owner's token releases, also once an edit's
// purge has marked the lock stale ("stale:<token>", see changes_consumer.cpp).
const char* const release_script =
    "local v = redis.call('GET', KEYS[1]) "
    "if v == ARGV[1] or v == 'stale:' .. ARGV[1] then return redis.call('DEL', KEYS[1]) end return 0";
// The tile when stored (1); else the lock, taken when free or when it only
// tells the waiters of a finished statement that the tile was empty (2: a
// request arriving after that runs its own), or held by another owner (0).
const char* const read_or_take_script =
    "local t = redis.call('GET', KEYS[1]) "
    "if t and #t > 0 then return {1, t} end "
    "local v = redis.call('GET', KEYS[2]) "
    "if v and string.sub(v, 1, 6) ~= 'empty:' then return {0, ''} end "
    "redis.call('SET', KEYS[2], ARGV[1], 'PX', ARGV[2]) "
    "return {2, ''}";
// The tile stored and the lock given up (1) only while the lock is still this
// owner's. An edit purged while the statement ran marked it stale: the tile
// may predate the edit, so it is not stored (0). A lock that expired meanwhile
// may have missed such a mark: not stored either (0).
const char* const store_and_release_script =
    "local v = redis.call('GET', KEYS[2]) "
    "if v == ARGV[1] then "
    "redis.call('SET', KEYS[1], ARGV[2], 'EX', ARGV[3]) redis.call('DEL', KEYS[2]) return 1 end "
    "if v == 'stale:' .. ARGV[1] then redis.call('DEL', KEYS[2]) end "
    "return 0";
// The owner's lock becomes the notice "empty:<token>" for a moment, long
// enough for every waiter's next poll; empty tiles are never stored. A stale
// lock is only given up: the emptiness may predate an edit, so the waiters
// run their own statements.
const char* const release_empty_script =
    "local v = redis.call('GET', KEYS[1]) "
    "if v == ARGV[1] then return redis.call('SET', KEYS[1], 'empty:' .. ARGV[1], 'PX', ARGV[2]) end "
    "if v == 'stale:' .. ARGV[1] then return redis.call('DEL', KEYS[1]) end return 0";
// How long the empty notice stays: longer than the longest pause between polls.
constexpr std::chrono::milliseconds empty_notice{400};
const char* const renew_script =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('PEXPIRE', KEYS[1], ARGV[2]) end return 0";

// Unique among the processes sharing a Redis: random per process, counted within it.
std::string new_token() {
    static const unsigned long long process = [] {
        std::random_device rd;
        return (static_cast<unsigned long long>(rd()) << 32) ^ rd();
    }();
    static std::atomic<unsigned long long> counter{0};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%016llx%016llx", process, counter.fetch_add(1));
    return buf;
}

// Runs a command bounded by `limit`: the reply, or nothing on a time-out or a
// Redis failure (described in `failure`, when given).
asio::awaitable<std::optional<redis::reply>> bounded(redis::connection& redis, std::vector<std::string_view> argv,
                                                     std::chrono::milliseconds limit, std::string* failure = nullptr) {
    try {
        co_return co_await common::with_deadline(redis.command(std::move(argv)), limit);
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        // Handled by the caller, which goes on without the lock; the connection logged the failure.
        metrics::count_handled_error(metrics::component::tile_lock);
        if (failure != nullptr) *failure = e.what();
    }
    co_return std::nullopt;
}

asio::awaitable<void> give_up_lock(std::shared_ptr<tile_lock> lock) { co_await lock->release(); }

}  // namespace

tile_lock::tile_lock(std::shared_ptr<redis::connection> redis, std::string cache_key)
    : m_redis(std::move(redis)), m_cache_key(std::move(cache_key)), m_lock_key("lock:" + m_cache_key), m_token(new_token()) {}

asio::awaitable<tile_lock::first_look> tile_lock::read_or_take(std::chrono::milliseconds bound, std::string* failure) {
    const std::string px = std::to_string(expiry.count());
    std::vector<std::string_view> argv{"EVAL", read_or_take_script, "2", m_cache_key, m_lock_key, m_token, px};
    // A late answer only means generating without the lock.
    auto r = co_await bounded(*m_redis, std::move(argv), bound, failure);
    if (!r || r->type != redis::reply::kind::array || r->elements.size() != 2) co_return first_look{};
    switch (r->elements[0].integer) {
        case 1: co_return first_look{first_look::kind::tile, std::move(r->elements[1].str)};
        case 2: co_return first_look{first_look::kind::taken, {}};
        default: co_return first_look{first_look::kind::held, {}};
    }
}

asio::awaitable<tile_lock::store_outcome> tile_lock::store_and_release(std::string_view bytes, std::int64_t ttl_seconds) {
    const std::string ttl = std::to_string(ttl_seconds);
    std::vector<std::string_view> argv{"EVAL", store_and_release_script, "2", m_cache_key, m_lock_key, m_token, bytes, ttl};
    // Bounded like a cache write: a frozen Redis must not hold an answer that is ready.
    auto r = co_await bounded(*m_redis, std::move(argv), read_bound);
    if (!r) co_return store_outcome::failed;
    co_return r->integer == 1 ? store_outcome::stored : store_outcome::refused;
}

asio::awaitable<void> tile_lock::renew() {
    const std::string px = std::to_string(expiry.count());
    std::vector<std::string_view> argv{"EVAL", renew_script, "1", m_lock_key, m_token, px};
    (void)co_await bounded(*m_redis, std::move(argv), command_bound);
}

asio::awaitable<void> tile_lock::release() {
    std::vector<std::string_view> argv{"EVAL", release_script, "1", m_lock_key, m_token};
    (void)co_await bounded(*m_redis, std::move(argv), command_bound);
}

asio::awaitable<void> tile_lock::release_empty() {
    const std::string px = std::to_string(empty_notice.count());
    std::vector<std::string_view> argv{"EVAL", release_empty_script, "1", m_lock_key, m_token, px};
    (void)co_await bounded(*m_redis, std::move(argv), command_bound);
}

asio::awaitable<tile_lock::outcome> tile_lock::wait(clock::time_point deadline) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    std::chrono::milliseconds pause{10};
    // The owners seen holding the lock while this waiter waited: only their
    // empty notices answer it; one left before it came is no answer.
    std::vector<std::string> owners;
    for (;;) {
        const auto now = clock::now();
        if (now >= deadline) co_return outcome{outcome::kind::timed_out, {}};
        timer.expires_at(std::min(deadline, now + pause));
        co_await timer.async_wait(asio::use_awaitable);
        pause = std::min(std::chrono::milliseconds(100), pause * 3 / 2);
        // One command, so the tile and the lock are seen at the same instant:
        // an owner stores the tile before it releases the lock.
        std::vector<std::string_view> argv{"MGET", m_cache_key, m_lock_key};
        auto r = co_await bounded(*m_redis, std::move(argv), read_bound);
        if (!r || r->type != redis::reply::kind::array || r->elements.size() != 2) co_return outcome{};
        auto& tile = r->elements[0];
        const auto& lock = r->elements[1];
        if (tile.type == redis::reply::kind::string && !tile.str.empty()) co_return outcome{outcome::kind::tile, std::move(tile.str)};
        if (lock.type == redis::reply::kind::nil) co_return outcome{};
        if (lock.type != redis::reply::kind::string) continue;
        if (lock.str.starts_with("empty:")) {
            if (std::find(owners.begin(), owners.end(), lock.str.substr(6)) != owners.end()) co_return outcome{outcome::kind::empty, {}};
        } else if (std::find(owners.begin(), owners.end(), lock.str) == owners.end()) {
            owners.push_back(lock.str);
        }
    }
}

miss_start::miss_start(asio::any_io_executor executor, std::shared_ptr<tile_lock> lock, kind what)
    : m_executor(std::move(executor)), m_lock(std::move(lock)), m_what(what), m_known(true) {}

miss_start::miss_start(miss_start&& other) noexcept
    : m_executor(std::move(other.m_executor)), m_lock(std::move(other.m_lock)), m_what(other.m_what), m_known(other.m_known) {}

miss_start& miss_start::operator=(miss_start&& other) noexcept {
    if (this != &other) {
        give_up();
        m_executor = std::move(other.m_executor);
        m_lock = std::move(other.m_lock);
        m_what = other.m_what;
        m_known = other.m_known;
    }
    return *this;
}

miss_start::~miss_start() { give_up(); }

void miss_start::give_up() {
    // Only a lock this read took is ours to give up; the release owns the lock's share of the connection.
    if (m_lock && m_what == kind::taken) asio::co_spawn(m_executor, give_up_lock(std::move(m_lock)), asio::detached);
    m_lock.reset();
}

}  // namespace vectile
