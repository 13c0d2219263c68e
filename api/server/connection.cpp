// One connection's life: reading requests with deadlines and limits,
// answering each, until the client or the server ends it.

// GCC 12 pairs Asio's coroutine-frame operator new and delete wrongly once the
// connection coroutine grows past a size, and warns about a mismatch there is not.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "server/answer_writer.hpp"
#include "server/event_stream.hpp"
#include "server/client_watch.hpp"
#include "server/connection_state.hpp"
#include "server/error_answer.hpp"
#include "server/http_server.hpp"
#include "logger/logger.hpp"
#include "metrics/metrics.hpp"

namespace server {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// Whether a Transfer-Encoding value is absent or ends in "chunked": the only
// codings whose body length the server and a proxy in front agree on.
bool chunked_last(boost::beast::string_view codings) {
    if (codings.empty()) return true;
    auto comma = codings.rfind(',');
    auto last = comma == boost::beast::string_view::npos ? codings : codings.substr(comma + 1);
    while (!last.empty() && (last.front() == ' ' || last.front() == '\t')) last.remove_prefix(1);
    while (!last.empty() && (last.back() == ' ' || last.back() == '\t')) last.remove_suffix(1);
    return beast::iequals(last, "chunked");
}

// The request as routes see it, but for its body.
common::request request_of(const http::request_header<>& head) {
    common::request req;
    req.method = head.method();
    req.target = std::string(head.target());
    for (const auto& field : head) req.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    return req;
}

// One line per request: client, method, path, status, bytes of body sent,
// milliseconds from the complete request to the written answer, cache result.
void log_access(beast::tcp_stream& stream, const http::request_header<>& req, const common::response& answer, bool head_only,
                std::chrono::steady_clock::time_point started) {
    boost::system::error_code ec;
    auto peer = stream.socket().remote_endpoint(ec);
    const std::size_t bytes = head_only || !has_body(answer) ? 0 : (answer.shared_body ? answer.shared_body->size() : answer.body.size());
    std::string cache = "-";
    for (const auto& [name, value] : answer.headers) {
        if (beast::iequals(name, "X-Cache")) cache = value;
    }
    if (cache == "-" && answer.media_type == "application/vnd.mapbox-vector-tile" && answer.status == 200) cache = "MISS";
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    logger::get_logger("access")->info("{} \"{} {}\" {} {} {:.1f}ms {}", ec ? std::string("-") : peer.address().to_string(),
                                       std::string(http::to_string(req.method())), std::string(req.target()), answer.status, bytes, ms, cache);
}

}  // namespace

asio::awaitable<void> http_server::serve(std::shared_ptr<connection_state> conn) {
    constexpr auto tuple_awaitable = asio::as_tuple(asio::use_awaitable);
    auto& stream = conn->stream;
    beast::flat_buffer buffer;
    bool first = true;

    // Sends a short error answer and ends the connection. Counted apart from
    // the routes: the request was refused before one was looked up.
    auto refuse = [&](unsigned status, const char* detail) -> asio::awaitable<void> {
        metrics::count_request(metrics::unmatched_route, metrics::method::other, status, {});
        stream.expires_after(m_options.write_timeout);
        co_await write_answer(stream, detail_answer(status, detail), 11, false, false);
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
        // The parser's own limit lets a head of many small fields past it; the
        // bytes the head took are what counts.
        if (hec == http::error::header_limit || (!hec && hn > m_options.header_limit)) {
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
        if (!chunked_last(head[http::field::transfer_encoding])) {
            co_await refuse(400, "Bad Request");
            break;
        }
        std::shared_ptr<void> admission;
        if (!parser.is_done()) {
            // Only a request with a body needs its route's limit looked up.
            std::size_t limit = m_app.body_limit(head.method(), head.target());
            if (auto length = parser.content_length(); length && *length > limit) {
                co_await refuse(413, "Request Entity Too Large");
                break;
            }
            // A route that cannot take the request now says so before the body
            // comes; one that can holds the place while the body comes.
            auto admitted = m_app.admit(request_of(head));
            if (admitted.refused) {
                stream.expires_after(m_options.write_timeout);
                co_await write_answer(stream, *admitted.refused, head.version(), false, false);
                break;
            }
            admission = std::move(admitted.hold);
            // The client waits for this before it sends the body.
            if (beast::iequals(head[http::field::expect], "100-continue")) {
                stream.expires_after(m_options.write_timeout);
                static constexpr std::string_view proceed = "HTTP/1.1 100 Continue\r\n\r\n";
                auto [cec, cn] = co_await asio::async_write(stream, asio::buffer(proceed), tuple_awaitable);
                if (cec) break;
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
        // The handler gets the request; `message` keeps its head for the access log.
        common::request req = request_of(message);
        req.body = std::move(message.body());
        req.admission = std::move(admission);
        const bool keep_alive = message.keep_alive();
        const bool is_head = req.method == http::verb::head;

        // Handlers bound their own waits; the stream's timer must not cut them short.
        stream.expires_never();
        const auto started = std::chrono::steady_clock::now();
        // Shares the connection's ownership: the watch may outlive this coroutine.
        std::shared_ptr<beast::tcp_stream> watched(conn, &stream);
        auto answer = co_await answer_watching_client(m_app, std::move(req), std::move(watched));
        if (!answer) break;  // the client has gone; the handler was cancelled

        const bool keep = keep_alive && !m_stopping && !answer->events;
        stream.expires_after(m_options.write_timeout);
        auto wec = co_await write_answer(stream, *answer, message.version(), keep, is_head);
        conn->busy = false;
        if (answer->events && !wec && !is_head) {
            // Idle between events: a shutdown cancels the stream as it does an idle connection.
            auto streaming = stream_events(stream, answer->events, m_options.write_timeout);
            co_await std::move(streaming);
        }
        if (m_options.access_log) log_access(stream, message, *answer, is_head, started);
        if (wec || !keep) break;
    }

    boost::system::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.close();
    forget(conn);
}

}  // namespace server
