// A steady request load on a gisd at 127.0.0.1, for the fault tests: tile
// hits on keep-alive connections, tiles that are always misses, and
// optionally clients that send their request head a byte at a time.
//
//   fault_load PORT SECONDS OUT [SLOW_CLIENTS]
//
// Writes one line per request to OUT: when it was answered (milliseconds of
// the Unix epoch, as `date +%s%3N` gives), the status (0: no answer: the
// connection failed, closed or timed out) and the X-Cache header ("-": none).

#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using clock_type = std::chrono::steady_clock;
using wall_clock = std::chrono::system_clock;

// Longer than any answer gisd may take (its slowest tile time limit and
// pool waits): a request past this has no answer.
constexpr int answer_limit_s = 40;

struct outcome {
    long long ms;
    unsigned status;
    std::string cache;
};

class recorder {
public:
    void add(unsigned status, std::string cache) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall_clock::now().time_since_epoch()).count();
        std::lock_guard lock(m_guard);
        m_lines.push_back({ms, status, std::move(cache)});
    }
    void write(const std::string& path) const {
        std::ofstream out(path);
        for (const auto& l : m_lines) out << l.ms << ' ' << l.status << ' ' << l.cache << '\n';
    }

private:
    std::mutex m_guard;
    std::vector<outcome> m_lines;
};

// One keep-alive connection that reconnects after a failure.
class client {
public:
    explicit client(std::uint16_t port) : m_port(port), m_socket(m_ioc) {}

    // The status and X-Cache of one GET; status 0 when there was no answer.
    std::pair<unsigned, std::string> get(const std::string& target) {
        try {
            if (!m_socket.is_open()) {
                m_socket.connect({asio::ip::make_address("127.0.0.1"), m_port});
                timeval tv{answer_limit_s, 0};
                ::setsockopt(m_socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                ::setsockopt(m_socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            }
            http::request<http::empty_body> req(http::verb::get, target, 11);
            req.set(http::field::host, "127.0.0.1");
            http::write(m_socket, req);
            http::response<http::string_body> res;
            http::read(m_socket, m_buffer, res);
            std::string cache(res["X-Cache"]);
            if (!res.keep_alive()) close();
            return {res.result_int(), cache.empty() ? "-" : cache};
        } catch (const std::exception&) {
            close();
            return {0, "-"};
        }
    }

private:
    void close() {
        boost::system::error_code ignored;
        m_socket.close(ignored);
        m_buffer.clear();
    }

    std::uint16_t m_port;
    asio::io_context m_ioc;
    tcp::socket m_socket;
    boost::beast::flat_buffer m_buffer;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: fault_load PORT SECONDS OUT [SLOW_CLIENTS]\n";
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::stoi(argv[1]));
    const auto until = clock_type::now() + std::chrono::seconds(std::stoi(argv[2]));
    const int slow_clients = argc > 4 ? std::stoi(argv[4]) : 0;

    // The hot tiles: the layer's suggested tile and its neighbours.
    std::vector<std::string> hot;
    {
        http::request<http::empty_body> req(http::verb::get, "/gis/plots/", 11);
        asio::io_context ioc;
        tcp::socket s(ioc);
        s.connect({asio::ip::make_address("127.0.0.1"), port});
        req.set(http::field::host, "127.0.0.1");
        http::write(s, req);
        boost::beast::flat_buffer b;
        http::response<http::string_body> res;
        http::read(s, b, res);
        const auto tile = nlohmann::json::parse(res.body())["data"]["suggested_tile"];
        const int z = tile["z"], x = tile["x"], y = tile["y"];
        for (int dx = -1; dx <= 1; ++dx) hot.push_back("/gis/plots/" + std::to_string(z) + "/" + std::to_string(x + dx) + "/" + std::to_string(y) + ".pbf");
    }

    recorder rec;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            client c(port);
            for (std::size_t i = static_cast<std::size_t>(t); clock_type::now() < until; ++i) {
                auto [status, cache] = c.get(hot[i % hot.size()]);
                rec.add(status, std::move(cache));
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    // Far out of the data at zoom 18: every tile a new statement (empty tiles are not cached).
    threads.emplace_back([&] {
        client c(port);
        for (long long x = 1000; clock_type::now() < until; x += 7) {
            auto [status, cache] = c.get("/gis/plots/18/" + std::to_string(x) + "/1000.pbf");
            rec.add(status, std::move(cache));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    if (slow_clients > 0) {
        // Each sends a byte of its head every second and never finishes it;
        // gisd must close them after its head time-out and serve the rest meanwhile.
        threads.emplace_back([&] {
            rlimit lim{};
            ::getrlimit(RLIMIT_NOFILE, &lim);
            lim.rlim_cur = lim.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &lim);
            asio::io_context ioc;
            std::vector<std::unique_ptr<tcp::socket>> sockets;
            for (int i = 0; i < slow_clients; ++i) {
                auto s = std::make_unique<tcp::socket>(ioc);
                boost::system::error_code ec;
                s->connect({asio::ip::make_address("127.0.0.1"), port}, ec);
                if (!ec) sockets.push_back(std::move(s));
            }
            std::cerr << "fault_load: " << sockets.size() << " slow clients connected\n";
            const std::string head = "GET /gis/layers/ HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
            for (std::size_t sent = 0; clock_type::now() < until; ++sent) {
                for (auto& s : sockets) {
                    boost::system::error_code ec;
                    const char byte = sent < head.size() ? head[sent] : 'x';
                    if (s->is_open()) asio::write(*s, asio::buffer(&byte, 1), ec);
                    if (ec) s->close(ec);
                }
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
        });
    }
    for (auto& t : threads) t.join();
    rec.write(argv[3]);
    return 0;
}
