#include "routers/vectile/seeding.hpp"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <sstream>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/cancellation.hpp"
#include "common/deadline.hpp"
#include "helpers/utils/utils.hpp"
#include "logger/logger.hpp"
#include "routers/vectile/mvt_sql.hpp"
#include "routers/vectile/service.hpp"
#include "routers/vectile/tiles.hpp"

namespace vectile {

namespace asio = boost::asio;
using clock = std::chrono::steady_clock;

tile_range tile_range_of(const degree_box& box, int z) {
    auto corner = [z](double lat, double lon) {
        auto t = helpers::utils::latlon_to_xyz(lat, lon, z);
        return std::pair<int, int>{t["x"].get<int>(), t["y"].get<int>()};
    };
    const auto [x_min, y_min] = corner(box.north, box.west);
    const auto [x_max, y_max] = corner(box.south, box.east);
    return tile_range{z, x_min, x_max, y_min, y_max};
}

std::vector<std::string> parse_layers(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string name; std::getline(in, name, ',');) {
        if (find_layer(name) == nullptr) {
            throw std::invalid_argument("unknown layer '" + name + "'; layers: " + quoted_layer_list(layer_names()));
        }
        if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
    }
    if (out.empty()) throw std::invalid_argument("no layer named");
    return out;
}

namespace {

int parse_int(const std::string& text, const std::string& whole) {
    std::size_t used = 0;
    int v = 0;
    try {
        v = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size()) throw std::invalid_argument("bad zoom range '" + whole + "': expected MIN-MAX, e.g. 14-16");
    return v;
}

double parse_real(const std::string& text, const std::string& whole) {
    std::size_t used = 0;
    double v = NAN;
    try {
        v = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || !std::isfinite(v)) {
        throw std::invalid_argument("bad bounding box '" + whole + "': expected WEST,SOUTH,EAST,NORTH in degrees");
    }
    return v;
}

}  // namespace

std::pair<int, int> parse_zoom_range(const std::string& text) {
    const auto dash = text.find('-');
    const int lo = parse_int(text.substr(0, dash), text);
    const int hi = dash == std::string::npos ? lo : parse_int(text.substr(dash + 1), text);
    if (lo < 1 || hi > 20 || lo > hi) throw std::invalid_argument("bad zoom range '" + text + "': zooms run from 1 to 20, MIN <= MAX");
    return {lo, hi};
}

degree_box parse_bbox(const std::string& text) {
    std::vector<double> v;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');) v.push_back(parse_real(part, text));
    if (v.size() != 4) throw std::invalid_argument("bad bounding box '" + text + "': expected WEST,SOUTH,EAST,NORTH in degrees");
    degree_box b{v[0], v[1], v[2], v[3]};
    if (b.west < -180 || b.east > 180 || b.south < -90 || b.north > 90 || b.west > b.east || b.south > b.north) {
        throw std::invalid_argument("bad bounding box '" + text + "': needs -180 <= WEST <= EAST <= 180 and -90 <= SOUTH <= NORTH <= 90");
    }
    return b;
}

namespace {

// The layers' tile ranges, walked one tile at a time.
class tile_walk {
public:
    void add(std::string layer, tile_range r) {
        if (r.count() > 0) m_ranges.emplace_back(std::move(layer), r);
    }
    std::uint64_t total() const {
        std::uint64_t n = 0;
        for (const auto& [layer, r] : m_ranges) n += r.count();
        return n;
    }
    std::optional<std::pair<std::string, helpers::utils::tile_address>> next() {
        if (m_at >= m_ranges.size()) return std::nullopt;
        const auto& [layer, r] = m_ranges[m_at];
        helpers::utils::tile_address t{r.z, r.x_min + m_x, r.y_min + m_y};
        if (++m_y > r.y_max - r.y_min) {
            m_y = 0;
            if (++m_x > r.x_max - r.x_min) {
                m_x = 0;
                ++m_at;
            }
        }
        return std::pair{layer, t};
    }

private:
    std::vector<std::pair<std::string, tile_range>> m_ranges;
    std::size_t m_at = 0;
    int m_x = 0, m_y = 0;
};

// The layer's extent in degrees, or nothing for a layer without rows.
asio::awaitable<std::optional<degree_box>> layer_extent(service& svc, const std::string& layer_name) {
    const layer_record& layer = *find_layer(layer_name);
    auto db = svc.sessions();
    auto r = co_await db->execute("SELECT ST_XMin(e) AS w, ST_YMin(e) AS s, ST_XMax(e) AS e, ST_YMax(e) AS n FROM ("
                                  "SELECT ST_Transform(ST_SetSRID(ST_Extent(" + layer.geom_col + ")::geometry, 3857), 4326) AS e "
                                  "FROM " + layer.table + ") AS x");
    co_await db->close();
    auto row = r.first();
    if (!row || row->is_null("w")) co_return std::nullopt;
    co_return degree_box{row->real("w"), row->real("s"), row->real("e"), row->real("n")};
}

asio::awaitable<bool> is_cached(service& svc, const std::string& key) {
    try {
        const std::string full_key = svc.cache._make_key(key);
        std::vector<std::string_view> argv{"EXISTS", full_key};
        auto r = co_await common::with_deadline(svc.redis_client.command(std::move(argv)), std::chrono::seconds(1));
        co_return r && r->integer > 0;
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
    }
    co_return false;  // unknown: generate it
}

struct seed_run {
    service& svc;
    const seed_request& request;
    const seed_observer& observer;
    tile_walk walk;
    seed_summary summary;
};

asio::awaitable<void> seed_one(seed_run& run, const std::string& layer, helpers::utils::tile_address tile) {
    auto& sum = run.summary;
    const std::string name = layer + "/" + std::to_string(tile.z) + "/" + std::to_string(tile.x) + "/" + std::to_string(tile.y);
    try {
        std::optional<tile_job> job;
        try {
            job = xyz_tile_job(layer, tile);
        } catch (const invalid_argument&) {
            ++sum.empty;  // below the layer's minimum zoom: empty without a statement
            co_return;
        }
        if (!run.request.force && co_await is_cached(run.svc, job->cache_key)) {
            ++sum.skipped;
            co_return;
        }
        auto db = run.svc.sessions();
        auto bytes = co_await generate_tile(run.svc, std::move(*job), *db);
        if (bytes) {
            ++sum.stored;
            sum.bytes += bytes->size();
        } else {
            ++sum.empty;
        }
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        ++sum.failed;
        if (run.observer.failure) run.observer.failure(name, e.what());
    }
}

asio::awaitable<void> seed_worker(seed_run& run) {
    while (auto item = run.walk.next()) {
        co_await seed_one(run, item->first, item->second);
        if (run.observer.progress) run.observer.progress(run.summary);
    }
}

}  // namespace

asio::awaitable<seed_summary> seed_tiles(service& svc, seed_request request, seed_observer observer) {
    const auto started = clock::now();
    seed_run run{svc, request, observer, {}, {}};
    for (const auto& layer : request.layers) {
        auto box = request.bbox;
        if (!box) box = co_await layer_extent(svc, layer);
        if (!box) continue;
        for (int z = request.zoom_min; z <= request.zoom_max; ++z) run.walk.add(layer, tile_range_of(*box, z));
    }
    run.summary.tiles = run.walk.total();
    if (observer.progress) observer.progress(run.summary);

    // The workers run on coroutines of their own, so that a cancellation of
    // this one (Ctrl-C) can be passed on to each and their ends still awaited.
    auto ex = co_await asio::this_coro::executor;
    const int workers = std::max(1, request.concurrency);
    std::vector<asio::cancellation_signal> cancels(static_cast<std::size_t>(workers));
    int running = workers;
    asio::steady_timer all_done(ex, asio::steady_timer::time_point::max());
    for (auto& cancel : cancels) {
        asio::co_spawn(ex, seed_worker(run), asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr) {
                           if (--running == 0) all_done.cancel();
                       }));
    }
    while (running > 0) {
        try {
            co_await all_done.async_wait(asio::use_awaitable);
        } catch (const boost::system::system_error&) {
            if (running == 0) break;
            // Cancelled: stop the workers, then wait for them to end.
            run.summary.interrupted = true;
            for (auto& cancel : cancels) cancel.emit(asio::cancellation_type::all);
        }
        co_await asio::this_coro::reset_cancellation_state();
    }
    run.summary.seconds = std::chrono::duration<double>(clock::now() - started).count();
    co_return run.summary;
}

asio::awaitable<std::uint64_t> purge_tiles(service& svc, seed_request request) {
    if (!request.bbox) throw std::invalid_argument("purge needs a bounding box");
    std::uint64_t removed = 0;
    std::vector<std::string> keys;
    auto flush = [&]() -> asio::awaitable<void> {
        if (keys.empty()) co_return;
        std::vector<std::string_view> argv{"DEL"};
        for (const auto& k : keys) argv.emplace_back(k);
        auto r = co_await svc.redis_client.command(std::move(argv));
        removed += static_cast<std::uint64_t>(r.integer);
        keys.clear();
    };
    for (const auto& layer : request.layers) {
        for (int z = request.zoom_min; z <= request.zoom_max; ++z) {
            const auto r = tile_range_of(*request.bbox, z);
            for (int x = r.x_min; x <= r.x_max; ++x) {
                for (int y = r.y_min; y <= r.y_max; ++y) {
                    keys.push_back(svc.cache._make_key(xyz_cache_key(layer, {z, x, y})));
                    // Batches keep each command's reply time short.
                    if (keys.size() == 500) co_await flush();
                }
            }
        }
    }
    co_await flush();
    co_return removed;
}

namespace {

std::string duration_text(double seconds) {
    const auto s = static_cast<long long>(std::max(0.0, seconds));
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%lldh%02lldm", s / 3600, s / 60 % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%lldm%02llds", s / 60, s % 60);
    }
    return buf;
}

// Progress on the command's output: a bar redrawn in place on a terminal, a
// plain line every few seconds otherwise (logs, CI).
class progress_printer {
public:
    progress_printer(std::ostream& out, bool terminal) : m_out(out), m_terminal(terminal) {}

    void show(const seed_summary& s, bool final = false) {
        const auto now = clock::now();
        const auto every = m_terminal ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000);
        if (!final && now - m_last < every) return;
        m_last = now;
        const double elapsed = std::chrono::duration<double>(now - m_started).count();
        const double rate = elapsed > 0 ? static_cast<double>(s.done()) / elapsed : 0;
        const double eta = rate > 0 ? static_cast<double>(s.tiles - std::min(s.tiles, s.done())) / rate : 0;
        char figures[160];
        std::snprintf(figures, sizeof figures, "%llu/%llu tiles  %.1f tiles/s  ETA %s", static_cast<unsigned long long>(s.done()),
                      static_cast<unsigned long long>(s.tiles), rate, duration_text(eta).c_str());
        if (m_terminal) {
            constexpr int width = 30;
            const int filled = s.tiles == 0 ? width : static_cast<int>(width * std::min(s.done(), s.tiles) / s.tiles);
            m_out << "\r[" << std::string(static_cast<std::size_t>(filled), '#') << std::string(static_cast<std::size_t>(width - filled), '.')
                  << "] " << figures << "\033[K" << std::flush;
            m_drawn = true;
        } else {
            m_out << "seed: " << figures << std::endl;
        }
    }

    void failure(const std::string& tile, const std::string& reason) {
        end_line();
        m_out << "seed: tile " << tile << " failed: " << reason << std::endl;
    }

    void end_line() {
        if (m_drawn) m_out << "\n";
        m_drawn = false;
    }

private:
    std::ostream& m_out;
    bool m_terminal;
    bool m_drawn = false;
    clock::time_point m_started = clock::now();
    clock::time_point m_last{};
};

// A service for a command: its lines go to the log, not the command's output.
std::unique_ptr<service> command_service(asio::io_context& ioc) {
    std::ostringstream ignored;
    auto svc = load(ioc.get_executor(), ignored);
    // Per-tile lines of the server would bury the progress; warnings stay.
    svc->logger->set_level(spdlog::level::warn);
    return svc;
}

}  // namespace

int run_seed_command(const seed_request& request, const database::pool_options& pool_options, std::ostream& out, bool terminal) {
    asio::io_context ioc(1);
    auto svc = command_service(ioc);
    database::pool pool(ioc.get_executor(), pool_options);
    svc->sessions = [&pool] { return pool.make_session(); };

    progress_printer printer(out, terminal);
    seed_observer observer{[&](const seed_summary& s) { printer.show(s); },
                           [&](const std::string& tile, const std::string& reason) { printer.failure(tile, reason); }};
    asio::cancellation_signal stop;
    asio::signal_set signals(ioc, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code ec, int) {
        if (!ec) stop.emit(asio::cancellation_type::all);
    });
    std::optional<seed_summary> summary;
    std::exception_ptr failure;
    asio::co_spawn(ioc, seed_tiles(*svc, request, observer),
                   asio::bind_cancellation_slot(stop.slot(), [&](std::exception_ptr e, seed_summary s) {
                       failure = e;
                       if (!e) summary = s;
                       signals.cancel();
                       ioc.stop();
                   }));
    ioc.run();
    if (summary && summary->interrupted) pool.cancel_running();
    if (!summary) {
        printer.end_line();
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            out << "seed: failed: " << e.what() << std::endl;
        }
        return 1;
    }
    printer.show(*summary, true);
    printer.end_line();
    const auto& s = *summary;
    char line[256];
    std::snprintf(line, sizeof line, "seed: %llu tiles, %llu stored, %llu empty, %llu skipped, %llu failed, %llu bytes, %.1f s%s",
                  static_cast<unsigned long long>(s.tiles), static_cast<unsigned long long>(s.stored),
                  static_cast<unsigned long long>(s.empty), static_cast<unsigned long long>(s.skipped),
                  static_cast<unsigned long long>(s.failed), static_cast<unsigned long long>(s.bytes), s.seconds,
                  s.interrupted ? " (interrupted)" : "");
    out << line << std::endl;
    return 0;
}

int run_purge_command(const seed_request& request, std::ostream& out) {
    asio::io_context ioc(1);
    auto svc = command_service(ioc);
    std::optional<std::uint64_t> removed;
    std::string failure;
    asio::co_spawn(ioc, purge_tiles(*svc, request), [&](std::exception_ptr e, std::uint64_t n) {
        if (!e) {
            removed = n;
        } else {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                failure = x.what();
            }
        }
        ioc.stop();
    });
    ioc.run();
    if (!removed) {
        out << "purge: failed: " << failure << std::endl;
        return 1;
    }
    out << "purge: removed " << *removed << " cached tiles" << std::endl;
    return 0;
}

}  // namespace vectile
