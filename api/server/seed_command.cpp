#include "seed_command.hpp"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <sstream>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "routers/vectile/config.hpp"
#include "routers/vectile/service.hpp"

namespace server::commands {

namespace asio = boost::asio;
using clock = std::chrono::steady_clock;
using vectile::degree_box;
using vectile::seed_request;
using vectile::seed_summary;
using vectile::seed_observer;

std::vector<std::string> parse_layers(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string name; std::getline(in, name, ',');) {
        if (vectile::find_layer(name) == nullptr) {
            throw std::invalid_argument("unknown layer '" + name + "'; layers: " + vectile::quoted_layer_list(vectile::layer_names()));
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
std::shared_ptr<vectile::service> command_service(asio::io_context& ioc) {
    std::ostringstream ignored;
    auto svc = vectile::load(ioc.get_executor(), ignored);
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
    auto seeding = vectile::seed_tiles(*svc, request, observer);
    asio::co_spawn(ioc, std::move(seeding),
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
    auto purging = vectile::purge_tiles(*svc, request);
    asio::co_spawn(ioc, std::move(purging), [&](std::exception_ptr e, std::uint64_t n) {
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

}  // namespace server::commands
