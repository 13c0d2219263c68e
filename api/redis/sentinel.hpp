#pragma once
// Finding the Redis primary through Redis Sentinel, and following it when the
// sentinels fail over to a replica.
//
// The sentinels are asked for the primary when none is known (at the first
// connection, and after a connection to the primary failed or was refused
// with READONLY). One of them is watched for its switch-master notice, so a
// failover is known as soon as the sentinels agree on it; connections made to
// the old primary are then closed at their next use.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace redis {

namespace asio = boost::asio;

struct address {
    std::string host;
    int port = 0;
    bool operator==(const address&) const = default;
};

// "host:port,host:port,..." (an IPv6 host in brackets: "[::1]:26379").
// Throws std::invalid_argument naming the item that is not host:port.
std::vector<address> parse_addresses(std::string_view list);

struct sentinel_options {
    std::vector<address> sentinels;
    std::string master;    // the name the sentinels monitor the primary under
    std::string password;  // for the sentinels themselves; empty: none
    std::chrono::milliseconds timeout{1000};  // each exchange with one sentinel
};

class sentinel_impl;

// One per process and loop; connections share it through redis::options.
class sentinel {
public:
    sentinel(asio::any_io_executor executor, sentinel_options options);
    ~sentinel();
    sentinel(const sentinel&) = delete;
    sentinel& operator=(const sentinel&) = delete;

    // The primary: the one known, or else the first answer of the sentinels
    // asked in turn, each within the time-out. Starts watching for failovers.
    // Throws redis::error when no sentinel names a primary.
    asio::awaitable<address> primary();

    // The primary as known now, without asking: nothing before the first
    // answer, after a `forget`, and while a failover is not yet known.
    std::optional<address> known() const;

    // `addr` failed as the primary (a lost connection, a READONLY reply, a
    // server that says it is a replica): the sentinels are asked again next time.
    void forget(const address& addr);

    const sentinel_options& settings() const noexcept;

private:
    std::shared_ptr<sentinel_impl> m_impl;
};

}  // namespace redis
