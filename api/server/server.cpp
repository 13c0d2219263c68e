#include "server/server.hpp"

#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include "logger/logger.hpp"

namespace host {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace boost::asio::experimental::awaitable_operators;
constexpr auto tuple_awaitable = asio::as_tuple(asio::use_awaitable);

struct server::connection_state {
    explicit connection_state(tcp::socket s) : stream(std::move(s)) {}
    beast::tcp_stream stream;
    bool busy = false;  // between a complete head and the end of the answer
};

server::server(asio::io_context& ioc, const application& app, server_options options)
    : m_ioc(ioc), m_app(app), m_options(std::move(options)), m_acceptor(ioc), m_grace(ioc) {}

server::~server() = default;

std::uint16_t server::listen() {
    tcp::endpoint endpoint(asio::ip::make_address(m_options.host), m_options.port);
    m_acceptor.open(endpoint.protocol());
    m_acceptor.set_option(asio::socket_base::reuse_address(true));
    if (m_options.reuse_port) {
        int one = 1;
        if (::setsockopt(m_acceptor.native_handle(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
            throw boost::system::system_error(errno, boost::system::system_category(), "SO_REUSEPORT");
        }
    }
    m_acceptor.bind(endpoint);
    m_acceptor.listen(asio::socket_base::max_listen_connections);
    asio::co_spawn(m_ioc, accept_loop(), asio::detached);
    return m_acceptor.local_endpoint().port();
}

asio::awaitable<void> server::accept_loop() {
    for (;;) {
        auto [ec, socket] = co_await m_acceptor.async_accept(tuple_awaitable);
        if (m_stopping) co_return;
        if (ec) {
            if (ec == asio::error::operation_aborted) co_return;
            // Out of descriptors or a similar passing condition: pause rather than spin.
            logger::get_logger()->warn("accept failed: {}", ec.message());
            asio::steady_timer pause(m_ioc, std::chrono::milliseconds(50));
            co_await pause.async_wait(tuple_awaitable);
            continue;
        }
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        auto conn = std::make_shared<connection_state>(std::move(socket));
        m_connections.push_back(conn);
        asio::co_spawn(m_ioc, serve(conn), asio::detached);
    }
}

namespace {

// Completes when the peer closes its side while a request is being handled.
// Data that is already the next request (pipelining) is left for later.
asio::awaitable<void> watch_disconnect(tcp::socket& socket) {
    auto [ec] = co_await socket.async_wait(tcp::socket::wait_read, tuple_awaitable);
    if (ec == asio::error::operation_aborted) co_return;  // the handler finished first
    if (ec) {
        // The wait itself failed: that says nothing about the client, so keep the handler going.
        asio::steady_timer never(socket.get_executor(), asio::steady_timer::time_point::max());
        co_await never.async_wait(tuple_awaitable);
        co_return;
    }
    char byte;
    auto n = ::recv(socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) co_return;
    asio::steady_timer never(socket.get_executor(), asio::steady_timer::time_point::max());
    co_await never.async_wait(tuple_awaitable);
}

http::response<http::string_body> to_beast(response&& r, unsigned version, bool keep_alive, bool head) {
    http::response<http::string_body> out{static_cast<http::status>(r.status), version};
    out.set(http::field::server, "gisd");
    for (auto& [name, value] : r.headers) out.set(name, value);
    bool no_body = r.status == 204 || r.status == 304 || (r.status >= 100 && r.status < 200);
    if (!no_body) {
        if (!r.media_type.empty()) out.set(http::field::content_type, r.media_type);
        out.content_length(r.body.size());
        if (!head) out.body() = std::move(r.body);
    }
    out.keep_alive(keep_alive);
    return out;
}

response plain_error(unsigned status, const char* detail) { return json_response({{"detail", detail}}, status); }

}  // namespace

asio::awaitable<void> server::serve(std::shared_ptr<connection_state> conn) {
    auto& stream = conn->stream;
    beast::flat_buffer buffer;
    bool first = true;

    // Sends a short error answer and ends the connection.
    auto refuse = [&](unsigned status, const char* detail) -> asio::awaitable<void> {
        auto out = to_beast(plain_error(status, detail), 11, false, false);
        stream.expires_after(m_options.write_timeout);
        co_await http::async_write(stream, out, tuple_awaitable);
    };

    while (!m_stopping) {
        if (buffer.size() == 0) {
            // Waiting for the first byte of a request: a new connection gets the
            // head time-out, an idle keep-alive connection the idle time-out.
            stream.expires_after(first ? m_options.head_timeout : m_options.idle_timeout);
            auto [ec, n] = co_await stream.async_read_some(buffer.prepare(4096), tuple_awaitable);
            if (ec) break;
            buffer.commit(n);
        }
        first = false;

        http::request_parser<http::string_body> parser;
        parser.header_limit(static_cast<std::uint32_t>(m_options.header_limit));
        // No body limit while the head is read: the parser would refuse a large
        // Content-Length with its own default (1 MiB) as a bad request, before
        // the head says which route, and so which limit, applies.
        parser.body_limit(boost::none);
        stream.expires_after(m_options.head_timeout);
        auto [hec, hn] = co_await http::async_read_header(stream, buffer, parser, tuple_awaitable);
        if (hec == http::error::header_limit) {
            co_await refuse(431, "Request Header Fields Too Large");
            break;
        }
        if (hec) {
            if (hec.category() == boost::system::error_code(http::error::bad_target).category() && hec != http::error::end_of_stream &&
                hec != http::error::partial_message) {
                co_await refuse(400, "Bad Request");
            }
            break;
        }
        conn->busy = true;
        const auto& head = parser.get();
        std::size_t limit = m_app.body_limit(head.method(), head.target());
        if (auto length = parser.content_length(); length && *length > limit) {
            co_await refuse(413, "Request Entity Too Large");
            break;
        }
        parser.body_limit(limit);
        if (!parser.is_done()) {
            stream.expires_after(m_options.body_timeout);
            auto [bec, bn] = co_await http::async_read(stream, buffer, parser, tuple_awaitable);
            if (bec == http::error::body_limit) {
                co_await refuse(413, "Request Entity Too Large");
                break;
            }
            if (bec) break;
        }
        auto message = parser.release();
        request req;
        req.method = message.method();
        req.target = std::string(message.target());
        req.body = std::move(message.body());
        for (const auto& field : message) req.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        bool keep_alive = message.keep_alive();
        bool is_head = req.method == http::verb::head;

        // Handlers bound their own waits; the stream's timer must not cut them short.
        stream.expires_never();
        std::optional<response> answer;
        try {
            auto outcome = co_await (m_app.handle(req) || watch_disconnect(stream.socket()));
            if (outcome.index() == 0) answer = std::move(std::get<0>(outcome));
        } catch (const std::exception& e) {
            logger::get_logger()->error("request {} failed: {}", req.target, e.what());
        }
        if (!answer) break;  // the client has gone; the handler was cancelled

        auto out = to_beast(std::move(*answer), message.version(), keep_alive && !m_stopping, is_head);
        stream.expires_after(m_options.write_timeout);
        auto [wec, wn] = co_await http::async_write(stream, out, tuple_awaitable);
        conn->busy = false;
        if (wec || !out.keep_alive()) break;
    }

    boost::system::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.close();
    forget(conn);
}

void server::forget(const std::shared_ptr<connection_state>& conn) {
    m_connections.remove(conn);
    if (m_stopping && m_connections.empty()) {
        m_grace.cancel();
        m_ioc.stop();
    }
}

void server::shutdown() {
    if (m_stopping) return;
    m_stopping = true;
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    for (auto& c : m_connections) {
        if (!c->busy) c->stream.cancel();
    }
    if (m_connections.empty()) {
        m_ioc.stop();
        return;
    }
    m_grace.expires_after(m_options.shutdown_grace);
    m_grace.async_wait([this](boost::system::error_code ec) {
        if (!ec) m_ioc.stop();
    });
}

}  // namespace host
