#include "server/http_server.hpp"

#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "logger/logger.hpp"
#include "server/connection_state.hpp"

namespace server {

using tcp = asio::ip::tcp;

http_server::http_server(asio::io_context& ioc, const application& app, server_options options)
    : m_ioc(ioc), m_app(app), m_options(std::move(options)), m_acceptor(ioc), m_grace(ioc) {}

http_server::~http_server() = default;

std::uint16_t http_server::listen() {
    tcp::endpoint endpoint(asio::ip::make_address(m_options.host), m_options.port);
    m_acceptor.open(endpoint.protocol());
    m_acceptor.set_option(asio::socket_base::reuse_address(true));
    if (m_options.reuse_port) {
        int one = 1;
        if (::setsockopt(m_acceptor.native_handle(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
            throw boost::system::system_error(errno, boost::system::system_category(), "SO_REUSEPORT");
        }
    }
    m_acceptor.bind(endpoint);
    m_acceptor.listen(asio::socket_base::max_listen_connections);
    asio::co_spawn(m_ioc, accept_loop(), asio::detached);
    return m_acceptor.local_endpoint().port();
}

asio::awaitable<void> http_server::accept_loop() {
    for (;;) {
        auto [ec, socket] = co_await m_acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
        if (m_stopping) co_return;
        if (ec) {
            if (ec == asio::error::operation_aborted) co_return;
            // Out of descriptors or a similar passing condition: pause rather than spin.
            logger::get_logger()->warn("accept failed: {}", ec.message());
            asio::steady_timer pause(m_ioc, std::chrono::milliseconds(50));
            co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
            continue;
        }
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        auto conn = std::make_shared<connection_state>(std::move(socket));
        m_connections.push_back(conn);
        asio::co_spawn(m_ioc, serve(conn), asio::detached);
    }
}

void http_server::forget(const std::shared_ptr<connection_state>& conn) {
    m_connections.remove(conn);
    if (m_stopping && m_connections.empty()) {
        m_grace.cancel();
        m_ioc.stop();
    }
}

void http_server::shutdown() {
    if (m_stopping) return;
    m_stopping = true;
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    for (auto& c : m_connections) {
        if (!c->busy) c->stream.cancel();
    }
    if (m_connections.empty()) {
        m_ioc.stop();
        return;
    }
    m_grace.expires_after(m_options.shutdown_grace);
    m_grace.async_wait([this](boost::system::error_code ec) {
        if (ec) return;
        if (m_options.on_grace_expired) m_options.on_grace_expired();
        m_ioc.stop();
    });
}

}  // namespace server
