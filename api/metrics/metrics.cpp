#include "metrics/metrics.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <new>

#include "metrics/detail/store.hpp"

namespace metrics {

namespace detail {

shared_block* g_block = nullptr;
options g_options;
std::vector<std::string> g_routes{"unmatched"};
std::vector<std::string> g_layers;

}  // namespace detail

using namespace detail;

namespace {

int g_slot = 0;

std::size_t layer_index(std::string_view name) noexcept {
    for (std::size_t i = 0; i < g_layers.size(); ++i) {
        if (g_layers[i] == name) return i;
    }
    return max_layers;
}

bool tile_slot(std::string_view layer, std::int64_t zoom, std::size_t& l, std::size_t& z) noexcept {
    if (g_block == nullptr || zoom < 0 || zoom >= static_cast<std::int64_t>(max_zooms)) return false;
    l = layer_index(layer);
    z = static_cast<std::size_t>(zoom);
    return l < max_layers;
}

worker_gauges& own_gauges() noexcept { return g_block->workers[g_slot]; }

}  // namespace

void enable(const options& opts) {
    if (g_block != nullptr) return;
    void* p = ::mmap(nullptr, sizeof(shared_block), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    g_block = new (p) shared_block{};
    g_options = opts;
    enable_changes();
}

bool enabled() noexcept { return g_block != nullptr; }

void enter_worker(int slot) noexcept {
    g_slot = std::clamp(slot, 0, max_workers - 1);
    clear_worker(g_slot);
}

void clear_worker(int slot) noexcept {
    if (g_block == nullptr || slot < 0 || slot >= max_workers) return;
    auto& w = g_block->workers[slot];
    for (gauge* g : {&w.pool_idle, &w.pool_busy, &w.in_flight, &w.plan_queue}) g->store(0, std::memory_order_relaxed);
}

std::size_t add_route(std::string_view pattern) {
    for (std::size_t i = 1; i < g_routes.size(); ++i) {
        if (g_routes[i] == pattern) return i < max_routes ? i : unmatched_route;
    }
    g_routes.emplace_back(pattern);
    return g_routes.size() - 1 < max_routes ? g_routes.size() - 1 : unmatched_route;
}

void add_layer(std::string_view name) {
    if (layer_index(name) == max_layers && g_layers.size() < max_layers) g_layers.emplace_back(name);
}

void count_request(std::size_t route, method m, unsigned status, clock::duration taken) noexcept {
    if (g_block == nullptr) return;
    if (route >= max_routes) route = unmatched_route;
    if (status >= first_status && status < first_status + statuses) {
        g_block->requests[route][static_cast<std::size_t>(m)][status - first_status].fetch_add(1, std::memory_order_relaxed);
    }
    g_block->request_duration[route].observe(taken);
}

void add_in_flight(int delta) noexcept {
    if (g_block != nullptr) own_gauges().in_flight.fetch_add(delta, std::memory_order_relaxed);
}

void count_tile(std::string_view layer, std::int64_t zoom, tile_source source, std::size_t bytes) noexcept {
    std::size_t l = 0, z = 0;
    if (!tile_slot(layer, zoom, l, z)) return;
    g_block->tiles[l][z][static_cast<std::size_t>(source)].fetch_add(1, std::memory_order_relaxed);
    g_block->tile_bytes[l][z].fetch_add(bytes, std::memory_order_relaxed);
}

void observe_tile_statement(std::string_view layer, std::int64_t zoom, clock::duration taken, bool timed_out) noexcept {
    std::size_t l = 0, z = 0;
    if (!tile_slot(layer, zoom, l, z)) return;
    g_block->tile_statement[l][z].observe(taken);
    if (timed_out) g_block->tile_timeouts[l][z].fetch_add(1, std::memory_order_relaxed);
}

void set_pool(std::size_t idle, std::size_t busy) noexcept {
    if (g_block == nullptr) return;
    own_gauges().pool_idle.store(static_cast<std::int64_t>(idle), std::memory_order_relaxed);
    own_gauges().pool_busy.store(static_cast<std::int64_t>(busy), std::memory_order_relaxed);
}

void observe_pool_wait(clock::duration waited) noexcept {
    if (g_block != nullptr) g_block->pool_wait.observe(waited);
}

void count_db_error() noexcept {
    if (g_block != nullptr) g_block->db_errors.fetch_add(1, std::memory_order_relaxed);
}

void count_redis_error(std::string_view command) noexcept {
    if (g_block == nullptr) return;
    std::size_t i = 0;
    while (i + 1 < redis_ops.size() &&
           !std::equal(command.begin(), command.end(), redis_ops[i].begin(), redis_ops[i].end(),
                       [](char a, char b) { return (a | 0x20) == b; })) {
        ++i;
    }
    g_block->redis_errors[i].fetch_add(1, std::memory_order_relaxed);
}

void count_plan(plan_status status) noexcept {
    if (g_block != nullptr) g_block->plans[static_cast<std::size_t>(status)].fetch_add(1, std::memory_order_relaxed);
}

void observe_plan_render(clock::duration taken) noexcept {
    if (g_block != nullptr) g_block->plan_render.observe(taken);
}

void set_plan_queue(std::size_t depth) noexcept {
    if (g_block != nullptr) own_gauges().plan_queue.store(static_cast<std::int64_t>(depth), std::memory_order_relaxed);
}

void count_handled_error(component where) noexcept {
    if (g_block != nullptr) g_block->handled_errors[static_cast<std::size_t>(where)].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace metrics
