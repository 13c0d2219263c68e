#include "server/server.hpp"

#include <sys/socket.h>

// GCC 12 pairs Asio's coroutine-frame operator new and delete wrongly once the
// connection coroutine grows past a size, and warns about a mismatch there is not.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <array>
#include <cerrno>
#include <charconv>
#include <limits>
#include <string_view>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include "logger/logger.hpp"

namespace host {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
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

// One request being handled. The handler runs on its own coroutine so that
// it can be cancelled when the client goes away.
struct handling {
    explicit handling(asio::any_io_executor ex) : done(ex, asio::steady_timer::time_point::max()) {}
    asio::steady_timer done;  // cancelled when the handler finishes
    asio::cancellation_signal cancel;
    bool finished = false;
    bool watched = false;
    std::optional<response> answer;
    std::exception_ptr failure;
};

// Cancels the handler when the peer closes its side. Data that is already the
// next request (pipelining) is left for later, and so is a failed wait: that
// says nothing about the client.
void watch_disconnect(tcp::socket& socket, std::shared_ptr<handling> h, std::shared_ptr<void> keep) {
    socket.async_wait(tcp::socket::wait_read, [&socket, h, keep](boost::system::error_code ec) {
        if (ec || h->finished) return;
        char byte;
        auto n = ::recv(socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) h->cancel.emit(asio::cancellation_type::all);
    });
}

bool has_body(const response& r) { return !(r.status == 204 || r.status == 304 || (r.status >= 100 && r.status < 200)); }

void append_decimal(std::string& out, std::size_t n) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, end);
}

// Whether the handler's headers can be written as they are: none repeats a
// name or names a field the server writes itself.
bool plain_headers(const response& r) {
    static constexpr std::string_view own[] = {"Server", "Content-Type", "Content-Length", "Connection", "Transfer-Encoding"};
    for (std::size_t i = 0; i < r.headers.size(); ++i) {
        const auto& name = r.headers[i].first;
        for (auto o : own) {
            if (beast::iequals(name, o)) return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (beast::iequals(name, r.headers[j].first)) return false;
        }
    }
    return true;
}

// The head of an answer as bytes: the status line, Server, the handler's
// headers, then Content-Type, Content-Length and Connection as Beast lays them
// out. Written directly for the usual headers: Beast's serializer took a
// seventh of a cache hit, and building its fields another twentieth. Unusual
// headers (a repeated name, a field the server owns) go through Beast's
// fields, which merge them.
std::string head_bytes(const response& r, unsigned version, bool keep_alive, std::size_t length) {
    std::string head = "HTTP/";
    head.reserve(160);
    append_decimal(head, version / 10);
    head.push_back('.');
    append_decimal(head, version % 10);
    head.push_back(' ');
    append_decimal(head, r.status);
    head.push_back(' ');
    head.append(http::obsolete_reason(static_cast<http::status>(r.status))).append("\r\n");
    if (plain_headers(r)) {
        head.append("Server: gisd\r\n");
        for (const auto& [name, value] : r.headers) head.append(name).append(": ").append(value).append("\r\n");
        if (has_body(r)) {
            if (!r.media_type.empty()) head.append("Content-Type: ").append(r.media_type).append("\r\n");
            head.append("Content-Length: ");
            append_decimal(head, length);
            head.append("\r\n");
        }
        if (version < 11 && keep_alive) head.append("Connection: keep-alive\r\n");
        if (version >= 11 && !keep_alive) head.append("Connection: close\r\n");
    } else {
        http::response<http::empty_body> out{static_cast<http::status>(r.status), version};
        out.set(http::field::server, "gisd");
        for (auto& [name, value] : r.headers) out.set(name, value);
        if (has_body(r)) {
            if (!r.media_type.empty()) out.set(http::field::content_type, r.media_type);
            out.content_length(length);
        }
        out.keep_alive(keep_alive);
        for (const auto& field : out) head.append(field.name_string()).append(": ").append(field.value()).append("\r\n");
    }
    head.append("\r\n");
    return head;
}

// Writes an answer: its head and its bytes (owned or shared) in one gathered write.
asio::awaitable<boost::system::error_code> write_answer(beast::tcp_stream& stream, const response& r, unsigned version, bool keep_alive,
                                                        bool head_only) {
    std::string_view body = r.shared_body ? std::string_view(*r.shared_body) : std::string_view(r.body);
    std::string head = head_bytes(r, version, keep_alive, body.size());
    if (head_only || !has_body(r)) body = {};
    std::array<asio::const_buffer, 2> buffers{asio::buffer(head), asio::buffer(body.data(), body.size())};
    // Asio's own conditions cap each send at 64 KiB, which splits a large tile
    // into several sends, each a pass through the loop; the socket takes it whole.
    auto whole = [](const boost::system::error_code& ec, std::size_t) -> std::size_t { return ec ? 0 : std::numeric_limits<std::size_t>::max(); };
    auto [ec, n] = co_await asio::async_write(stream, buffers, whole, tuple_awaitable);
    co_return ec;
}

response plain_error(unsigned status, const char* detail) { return json_response({{"detail", detail}}, status); }

}  // namespace

asio::awaitable<void> server::serve(std::shared_ptr<connection_state> conn) {
    auto& stream = conn->stream;
    beast::flat_buffer buffer;
    bool first = true;

    // Sends a short error answer and ends the connection.
    auto refuse = [&](unsigned status, const char* detail) -> asio::awaitable<void> {
        stream.expires_after(m_options.write_timeout);
        co_await write_answer(stream, plain_error(status, detail), 11, false, false);
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
        if (!parser.is_done()) {
            // Only a request with a body needs its route's limit looked up.
            std::size_t limit = m_app.body_limit(head.method(), head.target());
            if (auto length = parser.content_length(); length && *length > limit) {
                co_await refuse(413, "Request Entity Too Large");
                break;
            }
            parser.body_limit(limit);
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
        // The handler runs on a coroutine of its own, which a client going away can cancel.
        auto h = std::make_shared<handling>(stream.get_executor());
        asio::co_spawn(stream.get_executor(), m_app.handle(req),
                       asio::bind_cancellation_slot(h->cancel.slot(), [h](std::exception_ptr e, response r) {
                           h->finished = true;
                           if (e) {
                               h->failure = e;
                           } else {
                               h->answer = std::move(r);
                           }
                           h->done.cancel();
                       }));
        if (!h->finished) {
            // A handler that never waits (a cache hit) still reports a pass of the loop
            // later: Asio posts a spawned coroutine's completion. Watching its socket
            // would cost more than the answer, so the watch starts two passes later.
            auto ex = stream.get_executor();
            asio::post(ex, [ex, h, conn] {
                asio::post(ex, [h, conn] {
                    if (h->finished) return;
                    h->watched = true;
                    watch_disconnect(conn->stream.socket(), h, conn);
                });
            });
            while (!h->finished) co_await h->done.async_wait(tuple_awaitable);
            if (h->watched) {
                boost::system::error_code ignored;
                stream.socket().cancel(ignored);
            }
        }
        std::optional<response> answer = std::move(h->answer);
        if (h->failure) {
            try {
                std::rethrow_exception(h->failure);
            } catch (const std::exception& e) {
                // A cancelled handler (the client has gone) ends here too, without an answer.
                if (!is_cancellation(e)) logger::get_logger()->error("request {} failed: {}", req.target, e.what());
            } catch (...) {
                logger::get_logger()->error("request {} failed", req.target);
            }
        }
        if (!answer) break;  // the client has gone; the handler was cancelled

        bool keep = keep_alive && !m_stopping;
        stream.expires_after(m_options.write_timeout);
        auto wec = co_await write_answer(stream, *answer, message.version(), keep, is_head);
        conn->busy = false;
        if (wec || !keep) break;
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
