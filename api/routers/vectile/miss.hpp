#pragma once
// The miss path shared by the tile handlers and seeding: run a tile's
// statement, store what it made, and share that work between concurrent
// misses of the same key.

#include <chrono>
#include <cstdint>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "database/database.hpp"
#include "routers/vectile/memory.hpp"
#include "routers/vectile/statement.hpp"
#include "routers/vectile/tile_lock.hpp"

namespace vectile {

class service;

// A tile to make: where it is cached and the statement that makes it.
struct tile_job {
    std::string cache_key;  // within the cache's namespace
    std::string layer;      // for the statement's metrics; empty: not counted
    std::int64_t zoom = 0;
    std::int64_t ttl = 0;   // seconds in the cache
    std::string sql;
    database::params params;
    std::chrono::steady_clock::duration limit{};  // the statement's deadline
    statement_texts texts;
};

// Runs the job's statement within `limit` (counted in the metrics), storing
// nothing: the bytes, null for an empty tile. Throws as run_statement does.
boost::asio::awaitable<tile_memory::bytes> make_tile(service& svc, database::session& db, const tile_job& job,
                                                     std::chrono::steady_clock::duration limit);

// Runs the job's statement and stores non-empty bytes under its key with its
// TTL; gives the bytes, null for an empty tile. Throws as run_statement does
// (common::timed_out, common::internal_error, database::pool_timeout).
//
// With coalescing on (the service's default, and a session factory set),
// concurrent calls for one key in this process share one statement, and of
// the processes sharing the Redis one takes a lock on the key and generates
// while the others wait for the tile it stores, at most until the job's
// deadline (counted from the first caller's start); a waiter whose lock owner
// vanished, or that cannot reach Redis, generates itself within what is left
// of that deadline. The shared statement runs on a session of its own, so
// `db` is closed first (its connection goes back to the pool) and must not be
// used afterwards. With coalescing off, the statement runs on `db`.
//
// `start`, from the request's own read (see cached_tile), saves asking Redis
// again: with the lock taken there, the statement runs at once.
boost::asio::awaitable<tile_memory::bytes> generate_tile(service& svc, tile_job job, database::session& db, miss_start start = {});

}  // namespace vectile
