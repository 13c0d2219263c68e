#include "redis/detail/wire.hpp"

#include <array>
#include <cstdlib>

#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "redis/connection.hpp"

namespace redis::detail {

std::string format(const std::vector<std::string_view>& argv) {
    std::vector<const char*> args;
    std::vector<std::size_t> lens;
    for (auto a : argv) {
        args.push_back(a.data());
        lens.push_back(a.size());
    }
    char* raw = nullptr;
    int n = redisFormatCommandArgv(&raw, static_cast<int>(args.size()), args.data(), lens.data());
    if (n < 0) throw error("Could not format a command");
    std::string out(raw, static_cast<std::size_t>(n));
    std::free(raw);
    return out;
}

bool is_text(const redisReply* r, std::string_view text) {
    return r != nullptr && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS) && std::string_view(r->str, r->len) == text;
}

asio::awaitable<reply_ptr> next_reply(asio::ip::tcp::socket& socket, redisReader* reader) {
    std::array<char, 4096> buffer;
    for (;;) {
        void* r = nullptr;
        if (redisReaderGetReply(reader, &r) != REDIS_OK) throw error("Protocol error");
        if (r != nullptr) co_return reply_ptr(static_cast<redisReply*>(r));
        auto n = co_await socket.async_read_some(asio::buffer(buffer), asio::use_awaitable);
        redisReaderFeed(reader, buffer.data(), n);
    }
}

asio::awaitable<reply_ptr> roundtrip(asio::ip::tcp::socket& socket, redisReader* reader, const std::vector<std::string_view>& argv) {
    std::string wire = format(argv);
    co_await asio::async_write(socket, asio::buffer(wire), asio::use_awaitable);
    auto out = co_await next_reply(socket, reader);
    if (out->type == REDIS_REPLY_ERROR) throw error(std::string(out->str, out->len));
    co_return out;
}

}  // namespace redis::detail
