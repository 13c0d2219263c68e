#pragma once
// What the server keeps of one connection.

#include <boost/beast/core/tcp_stream.hpp>

#include "server/http_server.hpp"

namespace server {

struct http_server::connection_state {
    explicit connection_state(asio::ip::tcp::socket s) : stream(std::move(s)) {}
    boost::beast::tcp_stream stream;
    bool busy = false;  // between a complete head and the end of the answer
};

}  // namespace server
