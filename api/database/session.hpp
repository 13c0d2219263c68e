#pragma once
// The session a request handler receives (`get_db`).

#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "database/result.hpp"

namespace database {

namespace asio = boost::asio;

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
    // Makes the transaction that the next statement begins READ ONLY: a write
    // in it fails, and the server may be a standby. It costs nothing, since
    // BEGIN travels with the statement. No effect on a transaction already open.
    virtual void read_only() {}
    virtual asio::awaitable<void> commit() = 0;
    // Rolls back; a statement still running is cancelled on the server first.
    virtual asio::awaitable<void> rollback() = 0;
    // Ends the session and returns its connection to the pool clean: no open
    // transaction, no statement running. Closing twice is harmless.
    virtual asio::awaitable<void> close() = 0;
    // After a failure that lost the connection (database::unreachable), drops
    // it so that the next statement begins a transaction on a fresh one: true
    // when the session can be used again, false when it cannot (closed, or
    // its connection is not lost). Only for transactions that read: what the
    // lost one did is gone.
    virtual asio::awaitable<bool> renew() { co_return false; }
};

}  // namespace database
