#pragma once
// The server's counters, histograms and gauges, shared by every worker
// process, and their Prometheus text exposition.
//
// enable() maps one anonymous shared region before the workers fork, so a
// counter bumped by any worker is the server's total and a scrape served by
// any worker sees them all. Recording is a few relaxed atomic operations on
// fixed slots: no locks, no allocation. Until enable() (tests, --no-metrics)
// every recording call returns at once.
//
// Labels are small fixed tables: routes and layers are numbered in the
// order they are registered, which is the same in every worker because each
// registers them from the same code before serving.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace metrics {

using clock = std::chrono::steady_clock;

struct options {
    std::string version;      // gisd_build_info{version}
    bool zoom_label = false;  // tile metrics per zoom as well as per layer
};

// Maps the shared region; call once, before any worker forks. Later calls
// change nothing.
void enable(const options& opts);
bool enabled() noexcept;

// The slot of this worker's gauges (connections, requests in flight, plans
// waiting), 0 to 255; the slot starts at zero. A single process uses slot 0.
void enter_worker(int slot) noexcept;
// Zeroes the gauges of a worker that has ended, so they are not summed.
void clear_worker(int slot) noexcept;

// Registers a route pattern (idempotent); returns its number. Patterns past
// the table's size, and requests that matched none, count as "unmatched".
std::size_t add_route(std::string_view pattern);
inline constexpr std::size_t unmatched_route = 0;
// Registers a tile layer name (idempotent).
void add_layer(std::string_view name);

enum class method : std::uint8_t { get, head, post, options, other };

// One answered request: its route, method, status and time in the server.
void count_request(std::size_t route, method m, unsigned status, clock::duration taken) noexcept;
// Requests being answered by this worker.
void add_in_flight(int delta) noexcept;

enum class tile_source : std::uint8_t { memory, redis, miss };

// Bounding-box tiles have no zoom: they are counted under this one, which
// the zoom label calls "bbox".
inline constexpr std::int64_t bbox_zoom = 24;

// One tile served from `source`, `bytes` long.
void count_tile(std::string_view layer, std::int64_t zoom, tile_source source, std::size_t bytes) noexcept;
// One tile statement that ran `taken`, and whether it hit its time limit.
void observe_tile_statement(std::string_view layer, std::int64_t zoom, clock::duration taken, bool timed_out) noexcept;

// This worker's database connections.
void set_pool(std::size_t idle, std::size_t busy) noexcept;
void observe_pool_wait(clock::duration waited) noexcept;
void count_db_error() noexcept;
// A failed Redis command; `command` is its name as sent ("GET", "SET", ...).
void count_redis_error(std::string_view command) noexcept;

// A failure handled where it happened: logged once, with nothing to answer.
enum class component : std::uint8_t { invalidation, change_feed, sentinel, tile_lock, database, seeding, changes };
void count_handled_error(component where) noexcept;

enum class plan_status : std::uint8_t { ok, invalid, failed, timeout, refused };
void count_plan(plan_status status) noexcept;
void observe_plan_render(clock::duration taken) noexcept;
// Plans admitted and not finished in this worker.
void set_plan_queue(std::size_t depth) noexcept;

// Following the change log (changes.cpp): changes read and keys they purged,
// with the batch's lag from edit to purge (negative: not a new batch), and
// whether this process is the consumer.
void count_changes(std::size_t read, std::uint64_t keys_purged, double lag_seconds, std::uint64_t keys_remade = 0) noexcept;
void set_changes_consumer(bool consumer) noexcept;
// A tile made while an edit of its area was purged, and therefore not stored.
void count_stale_write_refused() noexcept;
void enable_changes();
void append_changes_exposition(std::string& out);

// Every metric in the text exposition format 0.0.4; empty when not enabled.
std::string exposition();

}  // namespace metrics
