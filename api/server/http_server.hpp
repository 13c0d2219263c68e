#pragma once
// The HTTP/1.1 server: accepts connections on one loop and runs one
// coroutine per connection, which reads requests with deadlines and limits,
// passes them to the application and writes the answers.
//
// Owns its connections; each connection's coroutine holds a shared pointer
// to its state, so a connection outlives the server's list until its
// coroutine ends. The server itself must outlive the loop's run.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/application.hpp"

namespace server {

struct server_options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8080;
    bool reuse_port = false;                              // several worker processes share the port
    std::size_t header_limit = 8 * 1024;                  // larger heads are answered 431
    std::chrono::milliseconds head_timeout{10000};        // a head must arrive within this
    std::chrono::milliseconds idle_timeout{60000};        // an idle keep-alive connection closes after this
    std::chrono::milliseconds body_timeout{30000};        // reading a body
    std::chrono::milliseconds write_timeout{30000};       // writing an answer
    std::chrono::milliseconds shutdown_grace{10000};      // requests in flight may finish within this
    // Called when the grace has passed with requests still in flight, before
    // the loop stops (for example to cancel their statements on the server).
    std::function<void()> on_grace_expired;
    bool access_log = false;  // one line per request on the log
};

class http_server {
public:
    http_server(asio::io_context& ioc, const application& app, server_options options);
    ~http_server();

    // Binds and listens; throws on failure. Returns the bound port (useful with port 0).
    std::uint16_t listen();
    // Stops accepting, closes idle connections, lets requests in flight finish
    // (at most the grace period), then stops the loop.
    void shutdown();

private:
    struct connection_state;
    asio::awaitable<void> accept_loop();
    asio::awaitable<void> serve(std::shared_ptr<connection_state> conn);
    void forget(const std::shared_ptr<connection_state>& conn);

    asio::io_context& m_ioc;
    const application& m_app;
    server_options m_options;
    asio::ip::tcp::acceptor m_acceptor;
    std::list<std::shared_ptr<connection_state>> m_connections;
    bool m_stopping = false;
    asio::steady_timer m_grace;
};

}  // namespace server
