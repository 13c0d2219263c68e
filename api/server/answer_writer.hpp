#pragma once
// Writing an answer on the wire: its head as bytes and the body in one send.

#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include "common/response.hpp"

namespace server {

// Whether an answer with this status carries a body at all.
bool has_body(const common::response& r);

// The head of an answer: the status line, Server, the handler's headers, then
// Content-Type, Content-Length and Connection as Beast lays them out.
std::string head_bytes(const common::response& r, unsigned version, bool keep_alive, std::size_t length);

// Writes an answer's head and bytes (owned or shared) in one gathered write;
// `head_only` for HEAD requests. The stream's own expiry bounds the write.
boost::asio::awaitable<boost::system::error_code> write_answer(boost::beast::tcp_stream& stream, const common::response& r,
                                                               unsigned version, bool keep_alive, bool head_only);

}  // namespace server
