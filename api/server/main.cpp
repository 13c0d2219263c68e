// gisd: the land-administration map back end. Serves the tile router under
// /gis and the host's own routes, on one event loop per worker process.

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <tuple>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "database/database.hpp"
#include "routers/plans/plan_routes.hpp"
#include "logger/logger.hpp"
#include "routers/search/search.hpp"
#include "routers/vectile/changes_command.hpp"
#include "routers/vectile/changes_consumer.hpp"
#include "routers/vectile/changes_events.hpp"
#include "metrics/metrics.hpp"
#include "routers/vectile/service.hpp"
#include "routers/vectile/sessions.hpp"
#include "server/http_server.hpp"
#include "seed_command.hpp"
#include "server/metrics_route.hpp"
#include "server/readiness.hpp"
#include "server/supervisor.hpp"
#include "server/viewer.hpp"

namespace {

struct cli_options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8080;
    int workers = 1;
    std::string database_url;
    std::size_t pool_size = 10;
    common::public_url_options urls;
    std::string cors_origins = "*";
    std::string web_dir;
    bool no_viewer = false;
    std::string basemap_url;
    std::size_t plan_queue = 4;
    std::size_t plan_threads = 0;  // 0: what the cores leave, see default_render_threads
    double shutdown_grace_s = 10;
    bool access_log = false;
    std::string admin_token_file;
    std::string admin_token;
    int plan_timeout_s = 30;
    std::string roads_table;
    std::size_t pool_min = 2;
    std::string db_jit = "off";
    std::string db_warm_up = "on";
    std::string tile_coalescing = "on";
    bool metrics_zoom = false;
    bool no_metrics = false;
    std::string follow_changes = "on";
    std::string changes_database_url;  // empty: the database URL
    double changes_settle_s = 35;
    std::uint64_t changes_scan_threshold = 4096;
    std::size_t changes_remake = 16;
};

// An installed gisd (PREFIX/bin) finds the viewer in PREFIX/share/gisd/web;
// one run from the build folder finds it in the source tree.
std::string default_web_dir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        auto installed = exe.parent_path().parent_path() / "share" / "gisd" / "web";
        if (std::filesystem::is_directory(installed, ec)) return installed.string();
    }
    return GISD_WEB_DIR;
}

database::pool_options pool_options_of(const cli_options& opts) {
    return database::pool_options{
        .url = opts.database_url,
        .size = opts.pool_size,
        .setup = vectile::session_setup({.jit = opts.db_jit == "on", .warm_up = opts.db_warm_up == "on"}),
    };
}

constexpr const char* gisd_version = GISD_VERSION;

// "*" allows any origin; a list names the origins; empty turns CORS off.
server::http_policy http_policy_of(const cli_options& opts) {
    server::http_policy policy;
    policy.conditional = true;
    policy.compression = true;
    policy.cors = !opts.cors_origins.empty();
    if (opts.cors_origins != "*") {
        std::string_view rest = opts.cors_origins;
        while (!rest.empty()) {
            auto comma = rest.find(',');
            auto item = rest.substr(0, comma);
            while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
            while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
            if (!item.empty()) policy.cors_origins.emplace_back(item);
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    }
    return policy;
}

// One worker: its own loop, Redis connection and database pool.
int run_worker(const cli_options& opts, bool reuse_port, const std::function<void()>& serving = [] {}) {
    boost::asio::io_context ioc(1);
    std::shared_ptr<vectile::service> tiles;
    try {
        tiles = vectile::load(ioc.get_executor(), std::cout);
    } catch (const std::exception& e) {
        std::cerr << "gisd: loading the tile router failed: " << e.what() << std::endl;
        return 1;
    }
    database::pool pool(ioc.get_executor(), pool_options_of(opts));

    tiles->urls = opts.urls;
    tiles->sessions = [&pool] { return pool.make_session(); };
    tiles->coalescing = opts.tile_coalescing == "on";
    // Lockless writes stay registered past the settle of a consumer with the same settings.
    tiles->lockless_retention = std::chrono::milliseconds(static_cast<long long>(opts.changes_settle_s * 1000)) + std::chrono::seconds(5);
    // After the tile service, so that it stops first.
    vectile::changes_consumer changes(*tiles, {.database_url = opts.changes_database_url.empty() ? opts.database_url : opts.changes_database_url,
                                               .settle = std::chrono::milliseconds(static_cast<long long>(opts.changes_settle_s * 1000)),
                                               .scan_threshold = opts.changes_scan_threshold,
                                               .remake_limit = opts.changes_remake});
    auto change_events = std::make_shared<vectile::change_hub>(ioc.get_executor());
    changes.on_purged([change_events](const std::string& event) { change_events->publish(event); });
    vectile::register_changes_route(*tiles, change_events);

    server::application app("Land administration GIS API", gisd_version);
    app.set_session_factory([&pool] { return pool.make_session(); });
    app.set_http_policy(http_policy_of(opts));
    app.set_admin_token(opts.admin_token);
    bool stopping = false;
    app.include_router(server::readiness_router(pool, [&stopping] { return stopping; }));
    app.include_router(tiles->router);
    if (metrics::enabled()) app.include_router(server::metrics_router());
    plans::plan_resources plans(
        {.threads = opts.plan_threads, .queue = opts.plan_queue, .timeout = std::chrono::seconds(opts.plan_timeout_s)},
        {.roads_table = opts.roads_table.empty() ? std::nullopt : std::optional<std::string>(opts.roads_table)});
    app.include_router(plans::plan_router(plans));
    app.include_router(search::search_router());
    app.include_router(server::viewer_router(
        {.web_dir = opts.web_dir, .page = !opts.no_viewer,
         .basemap_url = opts.basemap_url.empty() ? std::nullopt : std::optional<std::string>(opts.basemap_url)}));

    server::server_options sopts;
    sopts.shutdown_grace = std::chrono::milliseconds(static_cast<long long>(opts.shutdown_grace_s * 1000));
    // Past the grace, no statement of a request still in flight may outlive the process.
    sopts.on_grace_expired = [&pool] { pool.cancel_running(); };
    sopts.access_log = opts.access_log;
    sopts.host = opts.host;
    sopts.port = opts.port;
    sopts.reuse_port = reuse_port;
    server::http_server srv(ioc, app, sopts);
    // Before the "listening" line: a supervisor may send SIGTERM as soon as it
    // reads it, and the signal must then end the loop, not the process.
    boost::asio::signal_set signals(ioc, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code ec, int) {
        if (ec) return;
        stopping = true;  // readiness says so at once, while requests in flight finish
        srv.shutdown();
    });
    std::uint16_t bound = 0;
    try {
        bound = srv.listen();
    } catch (const std::exception& e) {
        std::cerr << "gisd: cannot listen on " << opts.host << ":" << opts.port << ": " << e.what() << std::endl;
        return 1;
    }
    std::cout << "gisd: listening on http://" << opts.host << ":" << bound << " (pid " << ::getpid() << ")" << std::endl;
    serving();
    // Connected and warmed while the first requests may already arrive.
    pool.fill(opts.pool_min);
    if (opts.follow_changes == "on" && !opts.database_url.empty()) changes.start();

    ioc.run();
    std::cout << "gisd: stopped (pid " << ::getpid() << ")" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Tiles of a few hundred kilobytes pass through several buffers per request.
    // Keep freed heap memory for the next request instead of handing it back
    // to the kernel and faulting it in again each time (bounded: 16 MiB kept).
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    cli_options opts;
    opts.web_dir = default_web_dir();
    if (const char* url = std::getenv("DATABASE_URL")) opts.database_url = url;

    CLI::App cli{
        "gisd: serves vector tiles of the cadastral layers under /gis and survey plans under /plans.\n"
        "Redis is configured only by the environment: REDIS_HOST (default localhost), REDIS_PORT (6379), REDIS_DB (0).\n"
        "TILE_MEMORY_CACHE_MB (default 32, 0 for none): each worker's copies of hot tiles, kept coherent with Redis."};
    cli.add_option("--host", opts.host, "Address to listen on")->capture_default_str();
    cli.add_option("--port", opts.port, "TCP port to listen on")->capture_default_str();
    cli.set_version_flag("--version", "gisd " GISD_VERSION);
    cli.add_option("--workers", opts.workers,
                   "Worker processes sharing the port (SO_REUSEPORT), each with its own loop, Redis connection and pool; "
                   "0: one per available core")
        ->check(CLI::Range(0, 256))
        ->capture_default_str();
    cli.add_option("--database-url", opts.database_url, "PostgreSQL URI (default: the DATABASE_URL environment variable)");
    cli.add_option("--db-pool-size", opts.pool_size, "Most database connections per worker")->check(CLI::Range(1, 1000))->capture_default_str();
    cli.add_option("--public-url", opts.urls.public_url,
                   "Base URL clients reach this server at, for TileJSON and the style (default: from the request's Host)");
    cli.add_flag("--trust-proxy", opts.urls.trust_proxy, "Take the scheme and host from X-Forwarded-Proto and X-Forwarded-Host");
    cli.add_option("--cors-origins", opts.cors_origins,
                   "Origins that may read answers cross-origin: * (any, GET and HEAD only), a comma-separated list "
                   "(which may also POST), or '' for no CORS")
        ->capture_default_str();
    cli.add_option("--plan-threads", opts.plan_threads,
                   "Threads per worker that draw plans (default: the cores the workers' loops leave free, shared among the "
                   "workers, at least 1 and at most 4)")
        ->check(CLI::Range(0, 64));
    cli.add_option("--plan-queue", opts.plan_queue, "Plans admitted per render thread; more are answered 503 at once")
        ->check(CLI::Range(1, 1000))
        ->capture_default_str();
    cli.add_option("--plan-timeout", opts.plan_timeout_s, "Seconds a plan may take before it is answered 503")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str();
    cli.add_option("--roads-table", opts.roads_table,
                   "[schema.]table whose line geometry (EPSG:3857) gives the roads of plans by plot number (default: none)");
    cli.add_option("--shutdown-grace", opts.shutdown_grace_s,
                   "Seconds that requests in flight may take after SIGTERM; then their statements are cancelled")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str();
    cli.add_flag("--access-log", opts.access_log, "One line per request on the log: client, request, status, bytes, milliseconds, cache");
    cli.add_option("--admin-token-file", opts.admin_token_file,
                   "File holding the token that cache invalidation requires (default: GISD_ADMIN_TOKEN; none: open)");
    cli.add_flag("--metrics-zoom", opts.metrics_zoom, "Give tile metrics a zoom label as well as the layer");
    cli.add_flag("--no-metrics", opts.no_metrics, "Do not count anything and do not serve /metrics");
    cli.add_option("--web-dir", opts.web_dir, "Folder of the viewer's files")->capture_default_str();
    cli.add_flag("--no-viewer", opts.no_viewer, "Do not serve the map viewer at / (the style's glyphs are still served)");
    cli.add_option("--basemap-url", opts.basemap_url,
                   "Raster tiles the viewer draws under the layers, e.g. 'https://tiles.example.org/{z}/{x}/{y}.png' (default: none)");
    cli.add_option("--db-pool-min", opts.pool_min, "Database connections each worker opens (and warms up) in the background at start")
        ->check(CLI::Range(0, 1000))
        ->capture_default_str();
    cli.add_option("--db-jit", opts.db_jit, "PostgreSQL's JIT compiler on tile sessions: off, or on for the server's own setting")
        ->check(CLI::IsMember({"on", "off"}))
        ->capture_default_str();
    cli.add_option("--db-warm-up", opts.db_warm_up, "Load PostGIS on each new database connection before it serves: on or off")
        ->check(CLI::IsMember({"on", "off"}))
        ->capture_default_str();
    cli.add_option("--tile-coalescing", opts.tile_coalescing,
                   "Concurrent misses of one tile share one statement (in the worker, and across processes by a Redis lock): on or off")
        ->check(CLI::IsMember({"on", "off"}))
        ->capture_default_str();

    // Commands that fill or trim the cache; the server's options and environment apply to them too.
    cli.fallthrough();
    cli.require_subcommand(0, 1);
    cli.add_option("--follow-changes", opts.follow_changes,
                   "Purge the tiles of edits recorded by `gisd changes install`: on or off")
        ->check(CLI::IsMember({"on", "off"}))
        ->capture_default_str();
    cli.add_option("--changes-database-url", opts.changes_database_url,
                   "The primary, where the change log is read (default: the database URL)");
    cli.add_option("--changes-settle", opts.changes_settle_s,
                   "Seconds after a change's purge that it is purged again, once every tile begun before the edit is stored")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str();
    cli.add_option("--changes-scan-threshold", opts.changes_scan_threshold,
                   "Past this many tiles of one zoom, a change scans that zoom's cached keys instead of naming them")
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{100000000}))
        ->capture_default_str();
    cli.add_option("--changes-remake", opts.changes_remake,
                   "Tiles read lately that an edit's purge makes again in place (per pass), rather than deleting: 0 deletes them all")
        ->check(CLI::Range(std::size_t{0}, std::size_t{10000}))
        ->capture_default_str();
    std::string seed_layers, seed_zoom, seed_bbox;
    vectile::seed_request seed;
    auto* seed_cmd = cli.add_subcommand("seed", "Generate tiles into the cache as the server would (same statements, keys and TTLs)");
    seed_cmd->add_option("--layer", seed_layers, "Layer names, comma-separated")->required();
    seed_cmd->add_option("--zoom", seed_zoom, "Zoom range MIN-MAX (or one zoom)")->required();
    seed_cmd->add_option("--bbox", seed_bbox, "WEST,SOUTH,EAST,NORTH in degrees (default: each layer's extent)");
    seed_cmd->add_option("--concurrency", seed.concurrency, "Tiles generated at once")->check(CLI::Range(1, 256))->capture_default_str();
    seed_cmd->add_flag("--force", seed.force, "Generate tiles that are cached already too");
    auto* purge_cmd = cli.add_subcommand("purge", "Delete the cached tiles of layers, zooms and a box (keys computed, not scanned)");
    purge_cmd->add_option("--layer", seed_layers, "Layer names, comma-separated")->required();
    purge_cmd->add_option("--zoom", seed_zoom, "Zoom range MIN-MAX (or one zoom)")->required();
    purge_cmd->add_option("--bbox", seed_bbox, "WEST,SOUTH,EAST,NORTH in degrees")->required();
    auto* search_cmd = cli.add_subcommand("search", "The search's indexes");
    auto* search_install = search_cmd->add_subcommand("install", "Create the indexes that GET /search uses (idempotent)");
    bool search_print = false;
    search_install->add_flag("--print", search_print, "Print the SQL instead of running it");
    search_cmd->require_subcommand(1);
    vectile::changes_command changes;
    auto* changes_cmd = cli.add_subcommand("changes", "Change capture in the database: install [--print], uninstall or status");
    changes_cmd->add_option("action", changes.action, "install, uninstall or status")
        ->required()
        ->check(CLI::IsMember({"install", "uninstall", "status"}));
    changes_cmd->add_flag("--print", changes.print, "install: print the SQL for a DBA instead of applying it");
    CLI11_PARSE(cli, argc, argv);
    if (changes_cmd->parsed()) {
        changes.database_url = opts.changes_database_url.empty() ? opts.database_url : opts.changes_database_url;
        return vectile::run_changes_command(changes, std::cout, std::cerr);
    }

    // The request bodies are small and the work is I/O bound: a broken client
    // connection must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    logger::configure_logging(spdlog::level::info);

    if (const char* token = std::getenv("GISD_ADMIN_TOKEN")) opts.admin_token = token;
    if (!opts.admin_token_file.empty()) {
        std::ifstream in(opts.admin_token_file);
        if (!in || !std::getline(in, opts.admin_token) || opts.admin_token.empty()) {
            std::cerr << "gisd: no token in " << opts.admin_token_file << std::endl;
            return 2;
        }
    }
    if (opts.admin_token.empty() && opts.host != "127.0.0.1" && opts.host != "::1" && opts.host != "localhost") {
        logger::get_logger()->warn("gisd: cache invalidation is open to anyone who reaches {}: set GISD_ADMIN_TOKEN or --admin-token-file",
                                   opts.host);
    }

    // Before the workers fork: they all count into the one shared region.
    if (!opts.no_metrics) metrics::enable({.version = gisd_version, .zoom_label = opts.metrics_zoom});

    if (search_install->parsed()) return search::run_install_command(pool_options_of(opts), search_print, std::cout);

    if (seed_cmd->parsed() || purge_cmd->parsed()) {
        const char* name = seed_cmd->parsed() ? "seed" : "purge";
        try {
            seed.layers = server::commands::parse_layers(seed_layers);
            std::tie(seed.zoom_min, seed.zoom_max) = server::commands::parse_zoom_range(seed_zoom);
            if (!seed_bbox.empty()) seed.bbox = server::commands::parse_bbox(seed_bbox);
        } catch (const std::invalid_argument& e) {
            std::cerr << "gisd " << name << ": " << e.what() << std::endl;
            return 2;
        }
        if (purge_cmd->parsed()) return server::commands::run_purge_command(seed, std::cout);
        auto pool = pool_options_of(opts);
        // Every tile in progress holds a session; none should wait for the pool.
        pool.size = std::max(pool.size, static_cast<std::size_t>(seed.concurrency) + 1);
        return server::commands::run_seed_command(seed, pool, std::cout, ::isatty(STDOUT_FILENO) != 0);
    }

    const unsigned cores = std::thread::hardware_concurrency();
    if (opts.workers == 0) opts.workers = static_cast<int>(std::clamp(cores, 1U, 256U));
    if (opts.plan_threads == 0) opts.plan_threads = plans::default_render_threads(cores, static_cast<unsigned>(opts.workers));
    if (opts.workers == 1) return run_worker(opts, false);
    return server::supervise(opts.workers, [&opts](const std::function<void()>& serving) { return run_worker(opts, true, serving); });
}
