#include "support/http_client.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>

#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>

namespace test_support {

namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

std::optional<std::string> http_reply::header(std::string_view name) const {
    auto same = [](std::string_view a, std::string_view b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
               });
    };
    for (const auto& [n, v] : headers) {
        if (same(n, name)) return v;
    }
    return std::nullopt;
}

http_client::http_client(std::uint16_t port, std::chrono::milliseconds io_limit) : m_io_limit(io_limit), m_socket(m_ioc) {
    m_socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
    m_socket.set_option(tcp::no_delay(true));
}

void http_client::finish(boost::system::error_code& ec, bool& done, const char* what) {
    m_ioc.restart();
    m_ioc.run_for(m_io_limit);
    if (!done) {
        boost::system::error_code ignored;
        m_socket.cancel(ignored);
        m_ioc.restart();
        m_ioc.run();
        throw std::runtime_error(std::string("http_client: no progress while ") + what);
    }
    if (ec) throw boost::system::system_error(ec, what);
}

http_reply http_client::request(http::verb method, std::string_view target, std::string body,
                                const std::vector<std::pair<std::string, std::string>>& headers) {
    http::request<http::string_body> req{method, target, 11};
    req.set(http::field::host, "127.0.0.1");
    for (const auto& [n, v] : headers) req.set(n, v);
    if (!body.empty() || method == http::verb::post || method == http::verb::put) {
        req.body() = std::move(body);
        req.prepare_payload();
    }
    boost::system::error_code ec;
    bool done = false;
    http::async_write(m_socket, req, [&](boost::system::error_code e, std::size_t) {
        ec = e;
        done = true;
    });
    finish(ec, done, "writing a request");
    return read_reply(method == http::verb::head);
}

void http_client::send_raw(std::string_view bytes) {
    boost::system::error_code ec;
    bool done = false;
    boost::asio::async_write(m_socket, boost::asio::buffer(bytes.data(), bytes.size()), [&](boost::system::error_code e, std::size_t) {
        ec = e;
        done = true;
    });
    finish(ec, done, "writing");
}

http_reply http_client::read_reply(bool head_request) {
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    parser.skip(head_request);
    boost::system::error_code ec;
    bool done = false;
    http::async_read(m_socket, m_buffer, parser, [&](boost::system::error_code e, std::size_t) {
        ec = e;
        done = true;
    });
    finish(ec, done, "reading an answer");
    auto res = parser.release();
    http_reply out;
    out.status = res.result_int();
    out.body = std::move(res.body());
    out.keep_alive = res.keep_alive();
    for (const auto& f : res) out.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
    return out;
}

bool http_client::closed_by_peer(std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    m_buffer.clear();
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd{m_socket.native_handle(), POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left));
        if (r == 0) return false;
        if (r < 0) continue;
        char buf[4096];
        auto n = ::recv(m_socket.native_handle(), buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
    }
}

void http_client::close() {
    boost::system::error_code ignored;
    m_socket.shutdown(tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
}

http_reply http_request(std::uint16_t port, http::verb method, std::string_view target, std::string body,
                        const std::vector<std::pair<std::string, std::string>>& headers) {
    http_client client(port);
    return client.request(method, target, std::move(body), headers);
}

}  // namespace test_support
