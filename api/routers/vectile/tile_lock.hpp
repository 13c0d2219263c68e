#pragma once
// A short lock in Redis on the generation of one cached tile, so that of the
// processes sharing that Redis (workers, machines) one runs the statement
// while the others wait for the tile it stores.
//
// The lock is "lock:<cache key>" holding a token of its owner, with a short
// expiry that the owner renews while it works: a process that dies holding it
// releases it when the expiry passes. Lock keys lie outside the cache's
// namespace, so invalidation neither deletes nor counts them.
//
// An edit's purge (changes_consumer.cpp) marks the lock of a generation in
// flight "stale:<token>": its statement may have read the database before
// the edit, so its tile is not stored, and the purge publishes the tile's key
// on stale_channel() so that the owner's process starts a new generation for
// later requests.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "redis/connection.hpp"

namespace vectile {

class tile_lock {
public:
    using clock = std::chrono::steady_clock;

    // How long a lock lives without renewal: the longest another process
    // waits for an owner that died.
    static constexpr std::chrono::milliseconds expiry{3000};
    // An owner renews its lock this often.
    static constexpr std::chrono::milliseconds renewal{1000};
    // A lock command waits this long at most: a frozen Redis must not hold a
    // miss much longer than it would take without the lock.
    static constexpr std::chrono::milliseconds command_bound{100};

    // `cache_key` is the tile's full key in Redis. The lock shares the
    // connection: its renewals may outlive the request that took it.
    tile_lock(std::shared_ptr<redis::connection> redis, std::string cache_key);

    const std::string& key() const noexcept { return m_lock_key; }

    // Where purges publish the keys whose generations they marked stale.
    static std::string stale_channel(const std::string& name_space) { return name_space + ":stale"; }

    // What a read of the tile that takes the lock when the tile is missing found.
    struct first_look {
        enum class kind { tile, taken, held, unusable } what = kind::unusable;
        std::string bytes;  // the tile, for `tile`
    };

    // In one round trip: the tile when it is stored; else the lock, taken when
    // nobody holds it (taken) or held by another owner (held); unusable when
    // Redis did not answer within `bound` or failed (the caller then generates
    // without a lock), with Redis's description of a failure in `failure`
    // (empty for a time-out) when given.
    boost::asio::awaitable<first_look> read_or_take(std::chrono::milliseconds bound = command_bound,
                                                    std::string* failure = nullptr);

    enum class store_outcome { stored, refused, failed };
    // In one round trip, after the statement: stores the tile under its key
    // for `ttl_seconds` and gives the lock up (stored). Refused when the lock
    // is no longer plainly this owner's: an edit's purge marked it stale while
    // the statement ran, or it expired; the tile is then not stored. Failed
    // when Redis did not answer in time (the lock then expires by itself).
    // Never throws but for a cancellation.
    boost::asio::awaitable<store_outcome> store_and_release(std::string_view bytes, std::int64_t ttl_seconds);

    // Extends this owner's lock by `expiry`; does nothing once it is not ours.
    // Never throws but for a cancellation.
    boost::asio::awaitable<void> renew();

    // Gives the lock up; only the owner's token releases. Never throws but
    // for a cancellation.
    boost::asio::awaitable<void> release();

    // Gives the lock up after an empty tile: for a moment it tells the
    // processes waiting on it so, then anyone may take it again. Never throws
    // but for a cancellation.
    boost::asio::awaitable<void> release_empty();

    // What waiting for another owner came to.
    struct outcome {
        enum class kind { tile, empty, free, timed_out } what = kind::free;
        std::string bytes;  // the tile, for `tile`
    };

    // Polls Redis for the tile and the lock until the tile is stored (tile),
    // an owner it saw holding the lock found the tile empty (empty), the lock
    // is gone without a tile (the owner died or failed) or Redis fails (free: the caller may
    // take the lock or generate), or
    // `deadline` passes (timed_out). Polls every 10 ms at first, growing to
    // every 100 ms, so the tile is noticed at most that long after it is stored.
    boost::asio::awaitable<outcome> wait(clock::time_point deadline);

private:
    std::shared_ptr<redis::connection> m_redis;
    std::string m_cache_key;
    std::string m_lock_key;
    std::string m_token;
};

// What a request's own read of a missing tile (one read_or_take) leaves for
// the tile's generation, so that the generation need not ask Redis again: the
// lock taken, the lock seen held by another owner, or Redis unusable. A lock
// taken and never used (the generation was dropped unstarted, or the request
// ended first) is given up when this is destroyed.
class miss_start {
public:
    using kind = tile_lock::first_look::kind;

    miss_start() = default;
    miss_start(boost::asio::any_io_executor executor, std::shared_ptr<tile_lock> lock, kind what);
    miss_start(miss_start&& other) noexcept;
    miss_start& operator=(miss_start&& other) noexcept;
    miss_start(const miss_start&) = delete;
    miss_start& operator=(const miss_start&) = delete;
    ~miss_start();

    // False when no read was made: the generation reads for itself.
    bool known() const noexcept { return m_known; }
    kind what() const noexcept { return m_what; }
    // The lock, now the generation's to release however it ends.
    std::shared_ptr<tile_lock> take() noexcept { return std::move(m_lock); }

private:
    void give_up();

    boost::asio::any_io_executor m_executor;
    std::shared_ptr<tile_lock> m_lock;
    kind m_what = kind::unusable;
    bool m_known = false;
};

}  // namespace vectile
