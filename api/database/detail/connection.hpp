#pragma once
// One libpq connection driven by the event loop: connecting, running
// statements (pipelined with BEGIN and COMMIT where asked), cleaning up after
// an abandoned statement, and telling whether it can be handed out again.

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <unordered_set>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/thread_pool.hpp>
#include <libpq-fe.h>

#include "database/result.hpp"

namespace database::detail {

namespace asio = boost::asio;
using clock = std::chrono::steady_clock;

// Watches a socket that libpq owns: the descriptor is released, never closed, by us.
struct borrowed_descriptor {
    asio::posix::stream_descriptor d;
    borrowed_descriptor(asio::any_io_executor ex, int fd) : d(ex, fd) {}
    ~borrowed_descriptor() {
        if (d.is_open()) d.release();
    }
};

class connection;

// Every open connection of a pool, so that statements still running can be
// cancelled when the process must go. Connections enter and leave it themselves.
using connection_registry = std::unordered_set<connection*>;

class connection {
public:
    explicit connection(asio::any_io_executor ex, std::shared_ptr<connection_registry> registry = nullptr)
        : m_ex(ex), m_registry(std::move(registry)) {
        if (m_registry) m_registry->insert(this);
    }
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Opens the connection by `deadline`; throws database::error. An
    // `application_name` given overrides the URL's.
    asio::awaitable<void> connect(const std::string& url, clock::time_point deadline, const char* application_name = nullptr);

    // Sends one statement and reads all of its results. When the caller
    // abandons the wait (cancellation), the statement stays marked as running,
    // and `clean` must be awaited before the connection is used again.
    // With `begin_first`, BEGIN goes out in the same pipeline as the statement,
    // and with `commit_after`, COMMIT: one round trip instead of two or three.
    // The COMMIT's failure is kept for `take_commit_failure`, not thrown.
    // `read_only` begins the transaction READ ONLY.
    // A failure that shows the server cannot serve this connection any more
    // (it was closed, is shutting down, or is a standby refusing a write after
    // a failover) marks the connection broken, so the pool replaces it.
    asio::awaitable<result> run(const std::string& text, const std::vector<std::string>& names, const params& p,
                                clock::time_point deadline, bool begin_first = false, bool commit_after = false,
                                bool read_only = false);

    // The failure of the COMMIT sent with the last statement, if it failed.
    std::exception_ptr take_commit_failure() { return std::exchange(m_commit_failure, nullptr); }

    asio::awaitable<result> run_simple(const char* text, clock::time_point deadline);

    // Several statements in one text (simple protocol, text results): for
    // scripts. Defined in notify.cpp.
    asio::awaitable<result> run_script(const std::string& text, clock::time_point deadline);

    // The notifications (LISTEN) that have arrived as channel and payload,
    // waiting for one until `deadline`; empty when none came. Throws
    // database::error when the connection is lost. Defined in notify.cpp.
    asio::awaitable<std::vector<std::pair<std::string, std::string>>> notifications(clock::time_point deadline);

    // Brings the connection back to idle: cancels a running statement on the
    // server (off the loop thread, since PQcancel blocks), drains its results
    // and rolls back an open transaction. Marks the connection broken on failure.
    asio::awaitable<void> clean(asio::thread_pool& cancel_threads, clock::time_point deadline);

    // Asks the server to cancel the running statement, and waits for it to
    // take the request (blocking: for the end of the process only).
    void cancel_blocking();

    bool busy() const noexcept { return m_busy; }
    bool in_transaction() const noexcept { return PQtransactionStatus(m_conn) != PQTRANS_IDLE; }
    bool broken() const noexcept { return m_broken || PQstatus(m_conn) != CONNECTION_OK; }

    // True when the connection can be handed out: not broken, idle, and the
    // server has not closed it meanwhile (a terminated backend leaves a message
    // and an end-of-file on the socket, which libpq notices when it reads).
    bool alive();

private:
    static void on_notice(void* self, const PGresult* notice);
    asio::awaitable<void> wait(asio::posix::stream_descriptor& d, asio::posix::stream_descriptor::wait_type w,
                               clock::time_point deadline, const char* timeout_message, bool connecting = false);
    asio::awaitable<void> flush(clock::time_point deadline);
    asio::awaitable<result> read_results(clock::time_point deadline, bool commit_last = false);

    asio::any_io_executor m_ex;
    std::shared_ptr<connection_registry> m_registry;
    PGconn* m_conn = nullptr;
    std::unique_ptr<borrowed_descriptor> m_sock;
    bool m_busy = false;
    bool m_pipeline = false;
    bool m_broken = false;
    std::exception_ptr m_commit_failure;
};

}  // namespace database::detail
