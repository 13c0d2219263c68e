#pragma once
// One database connection of its own, outside the pool, for a task that keeps
// session state: advisory locks, LISTEN, scripts. Statements run in autocommit
// unless the text itself begins a transaction.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "database/result.hpp"

namespace database {

namespace asio = boost::asio;

namespace detail {
class connection;
}

class dedicated {
public:
    explicit dedicated(asio::any_io_executor executor);
    ~dedicated();
    dedicated(const dedicated&) = delete;
    dedicated& operator=(const dedicated&) = delete;

    // Opens the connection (closing one open before), named `application_name`
    // on the server; throws database::error.
    asio::awaitable<void> connect(std::string url, std::chrono::milliseconds timeout, std::string application_name);

    // One statement with ":name" placeholders, results in binary as from a session.
    asio::awaitable<result> execute(std::string sql, params p, std::chrono::milliseconds timeout);

    // A text of several statements (it may hold BEGIN and COMMIT); its rows are not read.
    asio::awaitable<void> run_script(std::string sql, std::chrono::milliseconds timeout);

    // The notifications received (channel, payload), waiting at most `wait` for one.
    asio::awaitable<std::vector<std::pair<std::string, std::string>>> notifications(std::chrono::milliseconds wait);

    // Not connected, lost, or left mid-statement by a cancellation: connect again.
    bool usable() const;
    void close();

private:
    asio::any_io_executor m_ex;
    std::shared_ptr<detail::connection> m_conn;
};

}  // namespace database
