#pragma once
// A pool of asynchronous libpq connections driven by the process's event
// loop, and the sessions made from it.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "database/result.hpp"
#include "database/session.hpp"

namespace database {

// No connection became free within the pool's acquire time-out. The server
// is overloaded or the database unreachable; the request may be retried.
class pool_timeout : public error {
public:
    pool_timeout() : error("no database connection became free in time") {}
};

struct pool_options {
    std::string url;                                           // a libpq URI or key=value string
    std::size_t size = 10;                                     // most connections open at once
    std::chrono::milliseconds acquire_timeout{5000};           // wait for a free connection; then pool_timeout
    std::chrono::milliseconds connect_timeout{5000};           // opening one connection
    std::chrono::milliseconds control_timeout{10000};          // BEGIN, COMMIT, ROLLBACK and cleaning
    std::chrono::milliseconds statement_backstop{300000};      // a statement nobody else bounds
    // Run in order on every new connection before it serves (session settings,
    // warming caches), bounded by the connect time-out. A statement that fails
    // is skipped: a setting the server lacks must not make the pool unusable.
    std::vector<std::string> setup;
};

namespace detail {
class pool_impl;
}

// A pool of libpq connections bound to one event loop (not thread-safe: one
// pool per loop). Must outlive every session made from it.
class pool {
public:
    pool(asio::any_io_executor executor, pool_options options);
    ~pool();
    pool(const pool&) = delete;
    pool& operator=(const pool&) = delete;

    // `get_db`: a new session. The caller owns it.
    std::unique_ptr<session> make_session();

    // Cancels on the server every statement still running on one of its
    // connections, blocking until the server has each request: for a
    // process that stops while statements run, so that none outlives it.
    void cancel_running();

    // Opens connections in the background until `count` are open (at most the
    // pool's size) and leaves them idle, so that the first requests do not pay
    // for connecting and warming up. Returns at once; a failure to connect
    // ends the filling quietly (requests then connect as usual).
    void fill(std::size_t count);

    std::size_t open_connections() const;
    std::size_t idle_connections() const;

private:
    std::shared_ptr<detail::pool_impl> m_impl;
};

}  // namespace database
