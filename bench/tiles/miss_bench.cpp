// Cache-miss cost: each tile's statements run directly through libpq against
// the same tile requested through gisd (a miss: generated, then written to
// Redis). Prints medians and the server's overhead per tile. Both paths are
// warmed the same way first. The direct baseline sends what gisd sends to
// PostgreSQL for a miss (BEGIN, the statement, COMMIT, in one pipeline); the
// statement alone is timed too. So are the exchanges a miss must wait for
// besides the statement, each on its own: the Redis GET and SET (back to back,
// and each after a pause as long as the statement, as the processes involved
// are idle by then in a miss), and the HTTP exchange (a hit of the same tile).
//
//   miss_bench HOST PORT DATABASE_URL REDIS_PORT TILES_FILE
// TILES_FILE lines: "layer z x y".

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <hiredis/hiredis.h>
#include <libpq-fe.h>

#include "database/named_params.hpp"
#include "helpers/utils/utils.hpp"
#include "routers/vectile/mvt_sql.hpp"

namespace http = boost::beast::http;
using clock_type = std::chrono::steady_clock;

struct tile {
    std::string layer;
    int z, x, y;
};

double ms_since(clock_type::time_point t0) { return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

void flush_redis(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const char cmd[] = "*1\r\n$8\r\nFLUSHALL\r\n";
        (void)!::write(fd, cmd, sizeof cmd - 1);
        char buf[64];
        (void)!::read(fd, buf, sizeof buf);
    }
    ::close(fd);
}

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: miss_bench HOST PORT DATABASE_URL REDIS_PORT TILES_FILE\n";
        return 2;
    }
    std::string host = argv[1], port = argv[2];
    int redis_port = std::stoi(argv[4]);
    std::vector<tile> tiles;
    std::string last_tile;
    std::ifstream in(argv[5]);
    for (tile t; in >> t.layer >> t.z >> t.x >> t.y;) tiles.push_back(t);

    PGconn* conn = PQconnectdb(argv[3]);
    if (PQstatus(conn) != CONNECTION_OK) {
        std::cerr << PQerrorMessage(conn);
        return 1;
    }
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::resolver resolver(ioc);
    boost::beast::tcp_stream stream(ioc);
    stream.connect(resolver.resolve(host, port));

    auto run_direct = [&](const tile& t, bool in_transaction) {
        auto [sql, cfg] = vectile::generate_mvt_sql(t.layer, t.z);
        auto positional = database::translate_named_params(sql);
        auto b = helpers::utils::xyz_to_bbox_web_mercator(t.z, t.x, t.y);
        std::string vals[4];
        for (std::size_t i = 0; i < positional.names.size(); ++i) {
            const auto& n = positional.names[i];
            double v = n == "min_x" ? b["minx"].get<double>() : n == "min_y" ? b["miny"].get<double>() : n == "max_x" ? b["maxx"].get<double>() : b["maxy"].get<double>();
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", v);
            vals[i] = buf;
        }
        const char* values[4] = {vals[0].c_str(), vals[1].c_str(), vals[2].c_str(), vals[3].c_str()};
        auto t0 = clock_type::now();
        std::size_t size = 0;
        auto take = [&](PGresult* r) {
            if (PQresultStatus(r) == PGRES_TUPLES_OK) {
                size = PQntuples(r) ? static_cast<std::size_t>(PQgetlength(r, 0, 0)) : 0;
                if (size > 0) last_tile.assign(PQgetvalue(r, 0, 0), size);
            } else if (PQresultStatus(r) == PGRES_FATAL_ERROR) {
                std::cerr << PQresultErrorMessage(r);
            }
            PQclear(r);
        };
        if (!in_transaction) {
            take(PQexecParams(conn, positional.text.c_str(), 4, nullptr, values, nullptr, nullptr, 1));
        } else {
            // What gisd sends for a miss: BEGIN, the statement and COMMIT in one pipeline.
            PQenterPipelineMode(conn);
            PQsendQueryParams(conn, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 1);
            PQsendQueryParams(conn, positional.text.c_str(), 4, nullptr, values, nullptr, nullptr, 1);
            PQsendQueryParams(conn, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 1);
            PQpipelineSync(conn);
            for (;;) {
                PGresult* r = PQgetResult(conn);
                if (r == nullptr) {
                    if (PQstatus(conn) != CONNECTION_OK) break;
                    continue;
                }
                if (PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
                    PQclear(r);
                    break;
                }
                take(r);
            }
            PQexitPipelineMode(conn);
        }
        return std::pair{ms_since(t0), size};
    };
    // The cache round trips a miss must wait for (a GET that finds nothing,
    // then the SET of the tile), timed on a blocking connection of our own.
    redisContext* redis = redisConnect("127.0.0.1", redis_port);
    if (redis == nullptr || redis->err != 0) {
        std::cerr << "cannot connect to redis\n";
        return 1;
    }
    // `idle`: each command follows a pause as long as the tile's statement, as
    // in a miss, where the processes involved have gone idle in between.
    auto run_cache = [&](const std::string& bytes, std::chrono::microseconds idle = {}) {
        const std::string key = "mvt_v8:bench:miss";
        const char* get[] = {"GET", key.c_str()};
        const std::size_t get_len[] = {3, key.size()};
        const char* set[] = {"SET", key.c_str(), bytes.data(), "EX", "1800"};
        const std::size_t set_len[] = {3, key.size(), bytes.size(), 2, 4};
        if (idle.count() > 0) std::this_thread::sleep_for(idle);
        auto t0 = clock_type::now();
        freeReplyObject(redisCommandArgv(redis, 2, get, get_len));
        double ms = ms_since(t0);
        if (idle.count() > 0) std::this_thread::sleep_for(idle);
        t0 = clock_type::now();
        freeReplyObject(redisCommandArgv(redis, 5, set, set_len));
        return ms + ms_since(t0);
    };
    auto run_server = [&](const tile& t, bool expect_hit = false) {
        http::request<http::empty_body> req{http::verb::get,
                                            "/gis/" + t.layer + "/" + std::to_string(t.z) + "/" + std::to_string(t.x) + "/" + std::to_string(t.y) + ".pbf", 11};
        req.set(http::field::host, host);
        auto t0 = clock_type::now();
        http::write(stream, req);
        boost::beast::flat_buffer buf;
        http::response<http::string_body> res;
        http::read(stream, buf, res);
        double ms = ms_since(t0);
        if (res.count("X-Cache") != static_cast<std::size_t>(expect_hit)) std::cerr << (expect_hit ? "expected a cache hit\n" : "unexpected cache hit\n");
        return std::pair{ms, res.body().size()};
    };

    // Each path runs the tile once before it is measured, on its own backend:
    // the same buffer cache and per-backend caches for both. The order of the
    // measured runs alternates so that neither always comes second.
    // Three measured runs per tile in a rotating order: the statement alone,
    // the statement in gisd's pipeline (BEGIN, statement, COMMIT), and gisd.
    std::vector<double> alone, direct, server, overhead, overhead_alone, cache, cache_idle, beyond, hit, rest, rest_idle;
    std::size_t bytes = 0;
    for (int round = 0; round < 2; ++round) {
        flush_redis(redis_port);
        std::size_t i = 0;
        for (const auto& t : tiles) {
            run_direct(t, true);
            run_server(t);
            flush_redis(redis_port);
            double a = 0, d = 0, s = 0;
            std::size_t asize = 0, dsize = 0, ssize = 0;
            for (int k = 0; k < 3; ++k) {
                switch ((i + round + k) % 3) {
                    case 0: std::tie(a, asize) = run_direct(t, false); break;
                    case 1: std::tie(d, dsize) = run_direct(t, true); break;
                    default: std::tie(s, ssize) = run_server(t); break;
                }
            }
            ++i;
            // The same tile again, now cached: what the HTTP exchange with gisd
            // costs for this tile on its own. The second hit is timed, as the
            // first may still fetch the tile from Redis.
            run_server(t, true);
            const double h = run_server(t, true).first;
            flush_redis(redis_port);
            if (dsize != ssize || asize != ssize) std::cerr << "size mismatch for " << t.layer << "/" << t.z << "/" << t.x << "/" << t.y << "\n";
            const double c = run_cache(last_tile);
            flush_redis(redis_port);
            cache_idle.push_back(run_cache(last_tile, std::chrono::microseconds(static_cast<long>(d * 1000))));
            flush_redis(redis_port);
            alone.push_back(a);
            direct.push_back(d);
            server.push_back(s);
            overhead.push_back(s - d);
            overhead_alone.push_back(s - a);
            cache.push_back(c);
            beyond.push_back(s - d - c);
            hit.push_back(h);
            rest.push_back(s - d - c - h);
            rest_idle.push_back(s - d - cache_idle.back() - h);
            bytes += ssize;
        }
    }
    double ma = median(alone), md = median(direct), msv = median(server), mo = median(overhead), moa = median(overhead_alone);
    double mean_d = std::accumulate(direct.begin(), direct.end(), 0.0) / direct.size();
    double mean_s = std::accumulate(server.begin(), server.end(), 0.0) / server.size();
    std::printf("cache misses: %zu requests, mean tile %zu bytes\n", direct.size(), bytes / std::max<std::size_t>(1, direct.size()));
    std::printf("  statement alone, libpq        : median %.2f ms\n", ma);
    std::printf("  BEGIN, statement, COMMIT, libpq: median %.2f ms, mean %.2f ms\n", md, mean_d);
    std::printf("  through gisd                  : median %.2f ms, mean %.2f ms\n", msv, mean_s);
    std::printf("  overhead     : median %.3f ms per tile (%.1f%% of the direct median); mean ratio %.3f\n", mo, 100.0 * mo / md,
                mean_s / mean_d);
    std::printf("  against the statement alone: median %.3f ms per tile (%.1f%%)\n", moa, 100.0 * moa / ma);
    std::printf("  what a miss waits for besides the statement, timed on its own:\n");
    std::printf("    Redis GET and SET back to back: median %.3f ms; each after a pause as long as the statement: median %.3f ms\n",
                median(cache), median(cache_idle));
    std::printf("    the HTTP exchange (a hit of the same tile through gisd): median %.3f ms\n", median(hit));
    std::printf("  overhead beyond the back-to-back round trips: median %.3f ms per tile (%.1f%%)\n", median(beyond), 100.0 * median(beyond) / md);
    std::printf("  overhead beyond those round trips and the HTTP exchange: median %.3f ms per tile (%.1f%%); with the paused round trips: %.3f ms (%.1f%%)\n",
                median(rest), 100.0 * median(rest) / md, median(rest_idle), 100.0 * median(rest_idle) / md);
    redisFree(redis);
    PQfinish(conn);
    return 0;
}
