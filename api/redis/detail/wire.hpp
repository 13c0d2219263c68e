#pragma once
// The Redis protocol on a plain Asio socket, for the connections that only
// set themselves up with a few commands and then listen (the change feed, the
// sentinels): commands out in argv form, replies in through hiredis's reader.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <hiredis/hiredis.h>

namespace redis::detail {

namespace asio = boost::asio;

struct reply_deleter {
    void operator()(redisReply* r) const { freeReplyObject(r); }
};
using reply_ptr = std::unique_ptr<redisReply, reply_deleter>;

struct reader_deleter {
    void operator()(redisReader* r) const { redisReaderFree(r); }
};
using reader_ptr = std::unique_ptr<redisReader, reader_deleter>;

// The command in the protocol's bytes. Throws redis::error.
std::string format(const std::vector<std::string_view>& argv);

bool is_text(const redisReply* r, std::string_view text);

// Sends one command and reads its reply; an error reply throws redis::error
// with its text. Bytes that arrive after the reply stay in `reader`. It has
// no deadline of its own: the caller closes the socket when its deadline passes.
asio::awaitable<reply_ptr> roundtrip(asio::ip::tcp::socket& socket, redisReader* reader, const std::vector<std::string_view>& argv);

// Reads the next message that arrives (a pushed message on a subscribed
// connection). Throws on a closed connection or a protocol error.
asio::awaitable<reply_ptr> next_reply(asio::ip::tcp::socket& socket, redisReader* reader);

}  // namespace redis::detail
