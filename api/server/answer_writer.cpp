#include "server/answer_writer.hpp"

#include <array>
#include <charconv>
#include <limits>
#include <string_view>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>

namespace server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

void append_decimal(std::string& out, std::size_t n) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, end);
}

// Whether the handler's headers can be written as they are: none repeats a
// name or names a field the server writes itself.
bool plain_headers(const common::response& r) {
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

}  // namespace

bool has_body(const common::response& r) { return !(r.status == 204 || r.status == 304 || (r.status >= 100 && r.status < 200)); }

// Written directly for the usual headers, because Beast's serializer and
// fields are a measurable share of a cache hit (bench/README.md). Unusual
// headers (a repeated name, a field the server owns) go through Beast's
// fields, which merge them.
std::string head_bytes(const common::response& r, unsigned version, bool keep_alive, std::size_t length) {
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
            if (!r.events) {
                head.append("Content-Length: ");
                append_decimal(head, length);
                head.append("\r\n");
            }
        }
        if (version < 11 && keep_alive) head.append("Connection: keep-alive\r\n");
        if (version >= 11 && !keep_alive) head.append("Connection: close\r\n");
    } else {
        http::response<http::empty_body> out{static_cast<http::status>(r.status), version};
        out.set(http::field::server, "gisd");
        for (auto& [name, value] : r.headers) out.set(name, value);
        if (has_body(r)) {
            if (!r.media_type.empty()) out.set(http::field::content_type, r.media_type);
            if (!r.events) out.content_length(length);
        }
        out.keep_alive(keep_alive);
        for (const auto& field : out) head.append(field.name_string()).append(": ").append(field.value()).append("\r\n");
    }
    head.append("\r\n");
    return head;
}

asio::awaitable<boost::system::error_code> write_answer(beast::tcp_stream& stream, const common::response& r, unsigned version,
                                                        bool keep_alive, bool head_only) {
    std::string_view body = r.shared_body ? std::string_view(*r.shared_body) : std::string_view(r.body);
    std::string head = head_bytes(r, version, keep_alive, body.size());
    if (head_only || !has_body(r)) body = {};
    std::array<asio::const_buffer, 2> buffers{asio::buffer(head), asio::buffer(body.data(), body.size())};
    // Asio's own conditions cap each send at 64 KiB, which splits a large tile
    // into several sends, each a pass through the loop; the socket takes it whole.
    auto whole = [](const boost::system::error_code& ec, std::size_t) -> std::size_t { return ec ? 0 : std::numeric_limits<std::size_t>::max(); };
    auto [ec, n] = co_await asio::async_write(stream, buffers, whole, asio::as_tuple(asio::use_awaitable));
    co_return ec;
}

}  // namespace server
