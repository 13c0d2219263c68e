#include "routers/vectile/cache.hpp"

namespace vectile {

std::string BinaryRedisCache::_make_key(std::string_view key) const {
    std::string out;
    out.reserve(name_space.size() + 1 + key.size());
    out.append(name_space).append(":").append(key);
    return out;
}

boost::asio::awaitable<std::optional<std::string>> BinaryRedisCache::get(std::string_view key) {
    co_return co_await redis.get(_make_key(key));
}

boost::asio::awaitable<void> BinaryRedisCache::set(std::string_view key, std::string_view value, std::int64_t ttl) {
    co_await redis.set(_make_key(key), value, ttl);
}

boost::asio::awaitable<void> BinaryRedisCache::delete_(std::string_view key) {
    co_await redis.del(_make_key(key));
}

}  // namespace vectile
