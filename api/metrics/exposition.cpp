#include <charconv>
#include <string>
#include <vector>

#include "metrics/detail/store.hpp"
#include "metrics/metrics.hpp"

namespace metrics {

using namespace detail;

namespace {

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
            for (std::size_t z = 0; z < max_zooms; ++z) {
                const std::string zoom = z == static_cast<std::size_t>(bbox_zoom) ? std::string("bbox") : std::to_string(z);
                each(l, layer + "zoom=\"" + zoom + "\",", z, z + 1);
            }
        } else {
            each(l, layer, std::size_t{0}, max_zooms);
        }
    }
}

std::string without_comma(const std::string& labels) { return labels.substr(0, labels.size() - 1); }

}  // namespace

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

    head(out, "gisd_handled_errors_total", "counter", "Failures handled where they happened (logged, nothing to answer), by component.");
    for (std::size_t i = 0; i < component_names.size(); ++i) {
        out.append("gisd_handled_errors_total{component=\"").append(component_names[i]).append("\"} ");
        out.append(std::to_string(load(b.handled_errors[i]))).append("\n");
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
