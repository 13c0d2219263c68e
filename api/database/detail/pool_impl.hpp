#pragma once
// The pool's shared state. Sessions hold it by shared pointer, so a session
// that outlives its request (abandoned, cleaning in the background) keeps
// the pool's state alive until it has handed its connection back.

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include "database/detail/connection.hpp"
#include "database/named_params.hpp"
#include "database/pool.hpp"

namespace database::detail {

class pool_impl : public std::enable_shared_from_this<pool_impl> {
public:
    pool_impl(asio::any_io_executor ex, pool_options options) : m_ex(ex), m_options(std::move(options)) {}
    ~pool_impl() { m_cancel_threads.join(); }

    // A connection: an idle one that is still alive, a new one while fewer
    // than `size` are open, or the next one released within the acquire
    // time-out. Throws pool_timeout when none comes in time, database::error
    // when a new connection fails.
    asio::awaitable<std::unique_ptr<connection>> acquire();

    // Opens connections in the background until `count` are open and idle.
    void fill(std::size_t count);

    // Takes a connection back. A clean one goes to a waiter or the idle list;
    // one that still runs a statement or holds a transaction is cleaned first,
    // in the background; a broken one is closed.
    void release(std::unique_ptr<connection> c);

    // Cancels on the server every statement still running on a connection of
    // this pool; blocks until the server has the requests. For a process
    // that must end while statements run.
    void cancel_running();

    // The positional form of a ":name" statement, translated once. Shared,
    // not borrowed: the caller holds it across waits while the table may be trimmed.
    std::shared_ptr<const positional_sql> translate(std::string_view sql);

    const pool_options& options() const { return m_options; }
    asio::thread_pool& cancel_threads() { return m_cancel_threads; }
    asio::any_io_executor executor() const { return m_ex; }
    std::size_t open() const { return m_open; }
    std::size_t idle() const { return m_idle.size(); }

private:
    struct waiter {
        explicit waiter(asio::any_io_executor ex) : timer(ex, clock::time_point::max()) {}
        asio::steady_timer timer;
        std::unique_ptr<connection> conn;
        bool woken = false;
    };

    asio::awaitable<std::unique_ptr<connection>> take();
    // Tells the metrics this worker's idle and lent connections.
    void publish() const;
    // A named coroutine, not a capturing lambda: its arguments live in its own frame.
    static asio::awaitable<void> clean_and_release(std::shared_ptr<pool_impl> self, std::unique_ptr<connection> c);
    void wake_one();
    // A new connection, connected and set up by `deadline`. Throws database::error.
    asio::awaitable<std::unique_ptr<connection>> open_connection(clock::time_point deadline);
    static asio::awaitable<void> fill_to(std::shared_ptr<pool_impl> self, std::size_t count);

    asio::any_io_executor m_ex;
    pool_options m_options;
    std::size_t m_open = 0;
    std::vector<std::unique_ptr<connection>> m_idle;
    std::deque<std::shared_ptr<waiter>> m_waiters;
    std::unordered_map<std::string, std::shared_ptr<const positional_sql>> m_translations;
    asio::thread_pool m_cancel_threads{1};
    std::shared_ptr<connection_registry> m_registry = std::make_shared<connection_registry>();
};

// A session on `pool`; defined beside the session class.
std::unique_ptr<session> make_session(std::shared_ptr<pool_impl> pool);

}  // namespace database::detail
