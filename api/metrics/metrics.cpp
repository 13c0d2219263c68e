#include "metrics/metrics.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <new>
#include <vector>

namespace metrics {

namespace {

using counter = std::atomic<std::uint64_t>;
using gauge = std::atomic<std::int64_t>;

constexpr std::size_t max_routes = 64;  // the server has about twenty
constexpr std::size_t max_layers = 16;
constexpr std::size_t max_zooms = 25;
constexpr std::size_t methods = 5;
constexpr unsigned first_status = 100;
constexpr std::size_t statuses = 500;  // 100 to 599
constexpr int max_workers = 256;       // as many as --workers allows

// Upper bounds in seconds: from a memory hit to the longest tile time limit.
constexpr std::array<double, 14> bounds{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

constexpr const char* method_names[methods] = {"GET", "HEAD", "POST", "OPTIONS", "OTHER"};
constexpr const char* source_names[3] = {"memory", "redis", "miss"};
constexpr const char* plan_names[5] = {"ok", "invalid", "failed", "timeout", "refused"};
constexpr std::array<std::string_view, 8> redis_ops{"get", "set", "del", "scan", "unlink", "client", "ping", "other"};

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
    counter plans[5];
    histogram plan_render;
    worker_gauges workers[max_workers];
};

static_assert(counter::is_always_lock_free && gauge::is_always_lock_free, "shared counters must be address-free");

shared_block* g_block = nullptr;
options g_options;
int g_slot = 0;
// Process-local label tables, filled in the same order by every worker.
std::vector<std::string> g_routes{"unmatched"};
std::vector<std::string> g_layers;

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

// Label values are route patterns and layer names; escaped all the same.
std::string escaped(std::string_view v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

// The shortest text that reads back as `v`: bucket bounds stay as written.
std::string number(double v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, end);
}

std::uint64_t load(const counter& c) noexcept { return c.load(std::memory_order_relaxed); }

void head(std::string& out, const char* name, const char* type, const char* help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

// A histogram's series under `labels` ("" or `a="b",`) from the sum of `parts`.
void write_histogram(std::string& out, const char* name, const std::string& labels, const std::vector<const histogram*>& parts) {
    std::uint64_t cumulative = 0;
    std::uint64_t sum_ns = 0;
    for (std::size_t i = 0; i <= bounds.size(); ++i) {
        for (const auto* h : parts) cumulative += load(h->buckets[i]);
        out.append(name).append("_bucket{").append(labels).append("le=\"").append(i < bounds.size() ? number(bounds[i]) : "+Inf");
        out.append("\"} ").append(std::to_string(cumulative)).append("\n");
    }
    for (const auto* h : parts) sum_ns += load(h->sum_ns);
    std::string bare = labels.empty() ? std::string() : "{" + labels.substr(0, labels.size() - 1) + "}";
    out.append(name).append("_sum").append(bare).append(" ").append(number(static_cast<double>(sum_ns) / 1e9)).append("\n");
    out.append(name).append("_count").append(bare).append(" ").append(std::to_string(cumulative)).append("\n");
}

bool any(const histogram& h) noexcept {
    return std::any_of(std::begin(h.buckets), std::end(h.buckets), [](const counter& c) { return load(c) != 0; });
}

// Calls `each(labels, zooms)` once per tile series: per layer, and per
// layer and zoom with the zoom label; `zooms` are the zoom slots it covers.
template <typename F>
void for_each_tile_series(F&& each) {
    for (std::size_t l = 0; l < g_layers.size() && l < max_layers; ++l) {
        const std::string layer = "layer=\"" + escaped(g_layers[l]) + "\",";
        if (g_options.zoom_label) {
            for (std::size_t z = 0; z < max_zooms; ++z) each(l, layer + "zoom=\"" + std::to_string(z) + "\",", z, z + 1);
        } else {
            each(l, layer, std::size_t{0}, max_zooms);
        }
    }
}

std::string without_comma(const std::string& labels) { return labels.substr(0, labels.size() - 1); }

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

std::string exposition() {
    if (g_block == nullptr) return {};
    const shared_block& b = *g_block;
    std::string out;
    out.reserve(16 * 1024);

    head(out, "gisd_build_info", "gauge", "The running build.");
    out.append("gisd_build_info{version=\"").append(escaped(g_options.version)).append("\"} 1\n");

    head(out, "gisd_http_requests_total", "counter", "Requests answered, by route pattern, method and status.");
    for (std::size_t r = 0; r < g_routes.size() && r < max_routes; ++r) {
        for (std::size_t m = 0; m < methods; ++m) {
            for (std::size_t s = 0; s < statuses; ++s) {
                const auto n = load(b.requests[r][m][s]);
                if (n == 0) continue;
                out.append("gisd_http_requests_total{route=\"").append(escaped(g_routes[r])).append("\",method=\"").append(method_names[m]);
                out.append("\",status=\"").append(std::to_string(first_status + s)).append("\"} ").append(std::to_string(n)).append("\n");
            }
        }
    }
    head(out, "gisd_http_request_duration_seconds", "histogram", "Time from the complete request to the answer, by route pattern.");
    for (std::size_t r = 0; r < g_routes.size() && r < max_routes; ++r) {
        if (!any(b.request_duration[r])) continue;
        write_histogram(out, "gisd_http_request_duration_seconds", "route=\"" + escaped(g_routes[r]) + "\",", {&b.request_duration[r]});
    }

    std::int64_t idle = 0, busy = 0, in_flight = 0, plan_queue = 0;
    for (const auto& w : b.workers) {
        idle += w.pool_idle.load(std::memory_order_relaxed);
        busy += w.pool_busy.load(std::memory_order_relaxed);
        in_flight += w.in_flight.load(std::memory_order_relaxed);
        plan_queue += w.plan_queue.load(std::memory_order_relaxed);
    }
    head(out, "gisd_http_in_flight", "gauge", "Requests being answered.");
    out.append("gisd_http_in_flight ").append(std::to_string(in_flight)).append("\n");

    head(out, "gisd_tile_requests_total", "counter", "Tiles served, by layer and where they came from.");
    for_each_tile_series([&](std::size_t l, const std::string& labels, std::size_t z0, std::size_t z1) {
        for (std::size_t s = 0; s < 3; ++s) {
            std::uint64_t n = 0;
            for (std::size_t z = z0; z < z1; ++z) n += load(b.tiles[l][z][s]);
            if (n == 0 && z1 - z0 == 1) continue;
            out.append("gisd_tile_requests_total{").append(labels).append("cache=\"").append(source_names[s]).append("\"} ");
            out.append(std::to_string(n)).append("\n");
        }
    });
    head(out, "gisd_tile_bytes_total", "counter", "Bytes of tiles served, by layer.");
    for_each_tile_series([&](std::size_t l, const std::string& labels, std::size_t z0, std::size_t z1) {
        std::uint64_t n = 0;
        for (std::size_t z = z0; z < z1; ++z) n += load(b.tile_bytes[l][z]);
        if (n == 0 && z1 - z0 == 1) return;
        out.append("gisd_tile_bytes_total{").append(without_comma(labels)).append("} ").append(std::to_string(n)).append("\n");
    });
    head(out, "gisd_tile_statement_duration_seconds", "histogram", "Time of the database statements that made tiles, by layer.");
    for_each_tile_series([&](std::size_t l, const std::string& labels, std::size_t z0, std::size_t z1) {
        std::vector<const histogram*> parts;
        for (std::size_t z = z0; z < z1; ++z) parts.push_back(&b.tile_statement[l][z]);
        if (z1 - z0 == 1 && !any(*parts.front())) return;
        write_histogram(out, "gisd_tile_statement_duration_seconds", labels, parts);
    });
    head(out, "gisd_tile_statement_timeouts_total", "counter", "Tile statements stopped by their time limit, by layer.");
    for_each_tile_series([&](std::size_t l, const std::string& labels, std::size_t z0, std::size_t z1) {
        std::uint64_t n = 0;
        for (std::size_t z = z0; z < z1; ++z) n += load(b.tile_timeouts[l][z]);
        if (n == 0 && z1 - z0 == 1) return;
        out.append("gisd_tile_statement_timeouts_total{").append(without_comma(labels)).append("} ").append(std::to_string(n)).append("\n");
    });

    head(out, "gisd_db_pool_connections", "gauge", "Open database connections, idle or lent to a request.");
    out.append("gisd_db_pool_connections{state=\"idle\"} ").append(std::to_string(idle)).append("\n");
    out.append("gisd_db_pool_connections{state=\"busy\"} ").append(std::to_string(busy)).append("\n");
    head(out, "gisd_db_pool_wait_seconds", "histogram", "Time a request waited for a database connection.");
    write_histogram(out, "gisd_db_pool_wait_seconds", "", {&b.pool_wait});
    head(out, "gisd_db_errors_total", "counter", "Database failures: connections, statements, time limits.");
    out.append("gisd_db_errors_total ").append(std::to_string(load(b.db_errors))).append("\n");
    head(out, "gisd_redis_errors_total", "counter", "Failed Redis commands, by command.");
    for (std::size_t i = 0; i < redis_ops.size(); ++i) {
        out.append("gisd_redis_errors_total{op=\"").append(redis_ops[i]).append("\"} ").append(std::to_string(load(b.redis_errors[i]))).append("\n");
    }

    head(out, "gisd_plan_renders_total", "counter", "Survey plans asked for, by outcome.");
    for (std::size_t i = 0; i < 5; ++i) {
        out.append("gisd_plan_renders_total{status=\"").append(plan_names[i]).append("\"} ").append(std::to_string(load(b.plans[i]))).append("\n");
    }
    head(out, "gisd_plan_render_seconds", "histogram", "Time to parse and draw a survey plan.");
    write_histogram(out, "gisd_plan_render_seconds", "", {&b.plan_render});
    head(out, "gisd_plan_queue_depth", "gauge", "Survey plans admitted and not finished.");
    out.append("gisd_plan_queue_depth ").append(std::to_string(plan_queue)).append("\n");
    append_changes_exposition(out);
    return out;
}

}  // namespace metrics
