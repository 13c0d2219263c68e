#pragma once
// One asynchronous Redis connection driven by the process's event loop.
//
// Commands are sent in argv form, so keys and values are binary-safe and no
// text is ever interpreted as a format string. Replies arrive as raw bytes.
// The connection opens lazily with the first command; after any failure the
// next command opens a new one. With a sentinel in the options, it opens to
// the primary the sentinels name, and follows a failover: a connection to a
// server that is no longer the primary (the sentinels announced another, or
// it answered READONLY) is closed and the next command opens one to the new.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace redis {

namespace asio = boost::asio;

// A connection failure, a time-out on the socket, or an error reply of the server.
class error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct reply {
    enum class kind { nil, string, integer, array, status };
    kind type = kind::nil;
    std::string str;  // bytes of a string or status reply
    long long integer = 0;
    std::vector<reply> elements;
};

class sentinel;

struct options {
    std::string host = "localhost";  // not used with a sentinel
    int port = 6379;
    int db = 0;
    std::string password;  // AUTH after connecting; empty: none
    // Shared by the process's connections to the same data; none: host and port.
    std::shared_ptr<redis::sentinel> sentinel;
    std::chrono::milliseconds connect_timeout{5000};
    std::chrono::milliseconds socket_timeout{5000};  // each command, from sending to its reply
};

class connection_impl;

class connection {
public:
    connection(asio::any_io_executor executor, options opts);
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Sends one command and waits for its reply (at most the socket time-out).
    // Throws redis::error on failure. A caller that stops waiting (cancellation)
    // leaves the reply to be discarded when it arrives.
    asio::awaitable<reply> command(std::vector<std::string_view> argv);

    // GET: the value's bytes, or nothing when the key does not exist.
    asio::awaitable<std::optional<std::string>> get(std::string_view key);
    // SET key value EX ttl.
    asio::awaitable<void> set(std::string_view key, std::string_view value, std::int64_t ttl_seconds);
    // DEL key: the number of keys removed.
    asio::awaitable<long long> del(std::string_view key);

    const options& settings() const noexcept;

private:
    std::shared_ptr<connection_impl> m_impl;
};

}  // namespace redis
