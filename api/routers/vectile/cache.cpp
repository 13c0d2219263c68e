#include "routers/vectile/cache.hpp"

namespace vectile {

std::string BinaryRedisCache::_make_key(std::string_view key) const {
    std::string out;
    out.reserve(name_space.size() + 1 + key.size());
    out.append(name_space).append(":").append(key);
    return out;
}

boost::asio::awaitable<std::optional<std::string>> BinaryRedisCache::get(std::string_view key) {
    const std::string full_key = _make_key(key);
    co_return co_await redis.get(full_key);
}

boost::asio::awaitable<void> BinaryRedisCache::set(std::string_view key, std::string_view value, std::int64_t ttl) {
    const std::string full_key = _make_key(key);
    co_await redis.set(full_key, value, ttl);
}

boost::asio::awaitable<void> BinaryRedisCache::delete_(std::string_view key) {
    const std::string full_key = _make_key(key);
    co_await redis.del(full_key);
}

}  // namespace vectile
