#pragma once
// A small synchronous HTTP/1.1 client for server tests, with raw access to
// its socket for requests that a well-behaved client would not send.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/verb.hpp>

namespace test_support {

struct http_reply {
    unsigned status = 0;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool keep_alive = false;

    // The value of the first header named `name` (case-insensitive), or nothing.
    std::optional<std::string> header(std::string_view name) const;
};

class http_client {
public:
    // Connects to 127.0.0.1:`port`. Every later read or write fails after
    // `io_limit` instead of hanging the test.
    explicit http_client(std::uint16_t port, std::chrono::milliseconds io_limit = std::chrono::seconds(10));

    // Sends one request (with Host, and Content-Length when there is a body)
    // and reads its answer on this connection.
    http_reply request(boost::beast::http::verb method, std::string_view target, std::string body = {},
                       const std::vector<std::pair<std::string, std::string>>& headers = {});
    http_reply get(std::string_view target) { return request(boost::beast::http::verb::get, target); }

    // Writes bytes as they are.
    void send_raw(std::string_view bytes);
    // Reads one answer (for a request sent with send_raw). `head_request`: the answer has no body.
    http_reply read_reply(bool head_request = false);

    // True when the server closes the connection (end of stream or reset)
    // within `limit`; data that arrives meanwhile is discarded.
    bool closed_by_peer(std::chrono::steady_clock::duration limit);
    void close();

private:
    // Runs the started asynchronous operation; throws on failure or after the I/O limit.
    void finish(boost::system::error_code& ec, bool& done, const char* what);

    std::chrono::milliseconds m_io_limit;
    boost::asio::io_context m_ioc;
    boost::asio::ip::tcp::socket m_socket;
    boost::beast::flat_buffer m_buffer;
};

// One request on a new connection.
http_reply http_request(std::uint16_t port, boost::beast::http::verb method, std::string_view target, std::string body = {},
                        const std::vector<std::pair<std::string, std::string>>& headers = {});

}  // namespace test_support
