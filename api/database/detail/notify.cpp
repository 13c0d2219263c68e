// The parts of a connection that only a dedicated one uses: scripts of several
// statements, and notifications.
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "database/detail/connection.hpp"

namespace database::detail {

using namespace boost::asio::experimental::awaitable_operators;

namespace {

std::string message_of(PGconn* conn) {
    std::string s = PQerrorMessage(conn);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

asio::awaitable<result> connection::run_script(const std::string& text, clock::time_point deadline) {
    if (m_busy) throw error("another statement is still running on this connection");
    if (!PQsendQuery(m_conn, text.c_str())) throw error(message_of(m_conn));
    m_busy = true;
    co_await flush(deadline);
    co_return co_await read_results(deadline);
}

asio::awaitable<std::vector<std::pair<std::string, std::string>>> connection::notifications(clock::time_point deadline) {
    std::vector<std::pair<std::string, std::string>> out;
    auto drain = [&] {
        while (PGnotify* n = PQnotifies(m_conn)) {
            out.emplace_back(n->relname ? n->relname : "", n->extra ? n->extra : "");
            PQfreemem(n);
        }
    };
    if (m_busy) throw error("a statement is still running on this connection");
    drain();
    if (!out.empty()) co_return out;
    asio::steady_timer timer(m_ex, deadline);
    auto which = co_await (m_sock->d.async_wait(asio::posix::stream_descriptor::wait_read, asio::as_tuple(asio::use_awaitable)) ||
                           timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    if (which.index() == 1) co_return out;
    if (auto [ec] = std::get<0>(which); ec) {
        m_broken = true;
        throw error("database socket: " + ec.message());
    }
    if (!PQconsumeInput(m_conn) || PQstatus(m_conn) != CONNECTION_OK) {
        m_broken = true;
        throw error(message_of(m_conn));
    }
    drain();
    if (m_broken) throw error("the database closed the connection");
    co_return out;
}

}  // namespace database::detail
