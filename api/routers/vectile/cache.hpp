#pragma once
// The tile cache: raw byte strings in Redis under a namespace.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "redis/connection.hpp"

namespace vectile {

// Tile bytes in Redis under "<name_space>:<key>", never decoded as text.
// Values are stored and returned verbatim. The connection is shared and not
// owned. The three data operations catch nothing: connection errors, server
// errors and socket time-outs reach the caller as redis::error.
class BinaryRedisCache {
public:
    explicit BinaryRedisCache(redis::connection& redis, std::string name_space = "mvt")
        : redis(redis), name_space(std::move(name_space)) {}

    // namespace + ":" + key
    std::string _make_key(std::string_view key) const;

    // The stored bytes, or nothing when the key does not exist.
    boost::asio::awaitable<std::optional<std::string>> get(std::string_view key);
    // SET with an expiry; the server's reply is not examined.
    boost::asio::awaitable<void> set(std::string_view key, std::string_view value, std::int64_t ttl = 3600);
    boost::asio::awaitable<void> delete_(std::string_view key);

    redis::connection& redis;
    std::string name_space;
};

}  // namespace vectile
