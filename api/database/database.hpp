#pragma once
// Database sessions for request handlers (`get_db`): asynchronous libpq
// connections from a pool, driven by the process's event loop.
//
// A session takes a connection from the pool at its first statement and
// begins a transaction there; `commit`, `rollback` and `close` end it.
// Results come back in binary form, so bytea arrives as raw bytes.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace database {

namespace asio = boost::asio;

// Every failure of the database layer: connection, statement, commit, protocol.
class error : public std::runtime_error {
public:
    explicit error(const std::string& message, std::string sqlstate = {}) : std::runtime_error(message), m_sqlstate(std::move(sqlstate)) {}
    const std::string& sqlstate() const noexcept { return m_sqlstate; }

private:
    std::string m_sqlstate;
};

// Raw bytes (bytea), kept apart from text so that both can be bound and read.
struct bytes {
    std::string data;
    bool operator==(const bytes&) const = default;
};

// A column value: NULL, boolean, integer, real, text or bytes.
using value = std::variant<std::monostate, bool, std::int64_t, double, std::string, bytes>;

// Statement parameters by name, for ":name" placeholders.
using params = std::vector<std::pair<std::string, value>>;

class row {
public:
    row(std::shared_ptr<const std::vector<std::string>> columns, std::vector<value> values)
        : m_columns(std::move(columns)), m_values(std::move(values)) {}

    // The value of the named column; throws database::error for an unknown name.
    const value& operator[](std::string_view column) const;
    const value& at(std::size_t index) const { return m_values.at(index); }
    std::size_t size() const noexcept { return m_values.size(); }
    bool is_null(std::string_view column) const { return std::holds_alternative<std::monostate>((*this)[column]); }
    // The named column as a real; integers are widened. Throws database::error for NULL or another type.
    double real(std::string_view column) const;

private:
    std::shared_ptr<const std::vector<std::string>> m_columns;
    std::vector<value> m_values;
};

class result {
public:
    result() = default;
    result(std::shared_ptr<const std::vector<std::string>> columns, std::vector<row> rows)
        : m_columns(std::move(columns)), m_rows(std::move(rows)) {}

    // The first column of the single row, or nothing when there is no row.
    // Throws database::error when there is more than one row.
    std::optional<value> scalar_one_or_none() const;
    // The first row, or nothing.
    std::optional<row> first() const;
    const std::vector<row>& rows() const noexcept { return m_rows; }

private:
    std::shared_ptr<const std::vector<std::string>> m_columns;
    std::vector<row> m_rows;
};

// The session handlers receive. Abstract so that tests can observe the calls
// made by the transaction scope.
class session {
public:
    virtual ~session() = default;
    // Runs one statement with ":name" placeholders. Begins the transaction first if none is open.
    virtual asio::awaitable<result> execute(std::string_view sql, params p = {}) = 0;
    // Runs the transaction's last statement. A session may send its COMMIT
    // along with it (one round trip fewer); `commit` then reports that
    // COMMIT's outcome without waiting again. Only for statements whose
    // effects do not depend on what the caller does with the result, such as
    // read-only queries. By default the same as `execute`.
    virtual asio::awaitable<result> execute_last(std::string_view sql, params p = {}) { return execute(sql, std::move(p)); }
    virtual asio::awaitable<void> commit() = 0;
    // Rolls back; a statement still running is cancelled on the server first.
    virtual asio::awaitable<void> rollback() = 0;
    // Ends the session and returns its connection to the pool clean: no open
    // transaction, no statement running. Closing twice is harmless.
    virtual asio::awaitable<void> close() = 0;
};

struct pool_options {
    std::string url;                                           // a libpq URI or key=value string
    std::size_t size = 10;                                     // most connections open at once
    std::chrono::milliseconds acquire_timeout{5000};           // wait for a free connection; then 503
    std::chrono::milliseconds connect_timeout{5000};           // opening one connection
    std::chrono::milliseconds control_timeout{10000};          // BEGIN, COMMIT, ROLLBACK and cleaning
    std::chrono::milliseconds statement_backstop{300000};      // a statement nobody else bounds
};

class pool_impl;

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

    std::size_t open_connections() const;
    std::size_t idle_connections() const;

private:
    std::shared_ptr<pool_impl> m_impl;
};

}  // namespace database
