#pragma once
// The region every worker counts into, and the process's label tables: what
// recording writes and the exposition reads.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/metrics.hpp"

namespace metrics::detail {

using counter = std::atomic<std::uint64_t>;
using gauge = std::atomic<std::int64_t>;

inline constexpr std::size_t max_routes = 64;  // the server has about twenty
inline constexpr std::size_t max_layers = 16;
inline constexpr std::size_t max_zooms = 25;
inline constexpr std::size_t methods = 5;
inline constexpr unsigned first_status = 100;
inline constexpr std::size_t statuses = 500;  // 100 to 599
inline constexpr int max_workers = 256;       // as many as --workers allows

// Upper bounds in seconds: from a memory hit to the longest tile time limit.
inline constexpr std::array<double, 14> bounds{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

inline constexpr const char* method_names[methods] = {"GET", "HEAD", "POST", "OPTIONS", "OTHER"};
inline constexpr const char* source_names[3] = {"memory", "redis", "miss"};
inline constexpr const char* plan_names[5] = {"ok", "invalid", "failed", "timeout", "refused"};
inline constexpr std::array<const char*, 7> component_names{"invalidation", "change_feed", "sentinel", "tile_lock",
                                                           "database",     "seeding",     "changes"};
inline constexpr std::array<std::string_view, 8> redis_ops{"get", "set", "del", "scan", "unlink", "client", "ping", "other"};

// Buckets are kept apart (not cumulative) so that one observation is one
// increment; the exposition adds them up.
struct histogram {
    counter buckets[bounds.size() + 1];
    counter sum_ns;

    void observe(clock::duration taken) noexcept {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(taken).count();
        const double s = static_cast<double>(ns) / 1e9;
        std::size_t i = 0;
        while (i < bounds.size() && s > bounds[i]) ++i;
        buckets[i].fetch_add(1, std::memory_order_relaxed);
        sum_ns.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(ns, 0)), std::memory_order_relaxed);
    }
};

struct worker_gauges {
    gauge pool_idle;
    gauge pool_busy;
    gauge in_flight;
    gauge plan_queue;
};

// Everything the workers share. Lock-free atomics hold no process-local
// state, so they work across processes in a MAP_SHARED mapping.
struct shared_block {
    counter requests[max_routes][methods][statuses];
    histogram request_duration[max_routes];
    counter tiles[max_layers][max_zooms][3];
    counter tile_bytes[max_layers][max_zooms];
    histogram tile_statement[max_layers][max_zooms];
    counter tile_timeouts[max_layers][max_zooms];
    histogram pool_wait;
    counter db_errors;
    counter redis_errors[redis_ops.size()];
    counter handled_errors[component_names.size()];
    counter plans[5];
    histogram plan_render;
    worker_gauges workers[max_workers];
};

static_assert(counter::is_always_lock_free && gauge::is_always_lock_free, "shared counters must be address-free");

extern shared_block* g_block;
extern options g_options;
// Process-local label tables, filled in the same order by every worker.
extern std::vector<std::string> g_routes;
extern std::vector<std::string> g_layers;

inline std::uint64_t load(const counter& c) noexcept { return c.load(std::memory_order_relaxed); }

}  // namespace metrics::detail
