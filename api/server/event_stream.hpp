#pragma once
// Writing an answer's event stream after its head (common::event_source).

#include <chrono>
#include <memory>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include "common/response.hpp"

namespace server {

// Writes each piece the source gives, each write bounded by `write_timeout`,
// until the source ends, the client closes or sends anything, or the stream
// is cancelled (a shutdown).
boost::asio::awaitable<void> stream_events(boost::beast::tcp_stream& stream, std::shared_ptr<common::event_source> source,
                                           std::chrono::milliseconds write_timeout);

}  // namespace server
