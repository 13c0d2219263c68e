#pragma once
// Running one time-limited read statement of a tile handler inside its
// transaction, with the failures every such handler maps alike: the deadline
// passing is a time-out, a database failure or anything unexpected a server
// error, each logged once. A pool without a free connection and a
// cancellation pass through unchanged.

#include <chrono>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "common/cancellation.hpp"
#include "common/errors.hpp"
#include "database/database.hpp"
#include "routers/vectile/service.hpp"

namespace vectile {

// What a handler logs and tells its caller when its statement fails.
struct statement_texts {
    std::string timeout_log;      // logged as it is
    std::string timeout_detail;   // the time-out's detail
    std::string database_log;     // logged with ": " and the database's message
    std::string database_detail;  // the server error's detail
    std::string other_log;        // the same for failures outside the database layer
    std::string other_detail;
    // A database that cannot be reached passes on as database::unreachable (a
    // 503 with Retry-After) instead of the server error: for routes whose
    // answers to that are not fixed already.
    bool unreachable_passes = false;

    // Texts for a handler that tells every failure alike, in and outside the database layer.
    static statement_texts alike(std::string timeout_log, std::string timeout_detail, std::string failure_log, std::string failure_detail) {
        return {std::move(timeout_log), std::move(timeout_detail), failure_log, failure_detail, failure_log, failure_detail, false};
    }
};

// The tile bytes in a statement's single value, or nothing (no row, NULL).
std::optional<std::string> tile_bytes(const database::result& r);

// Runs `sql` as the last statement of a READ ONLY transaction on `db`, bounded
// by `limit`, and gives its result. A statement whose connection was lost
// before it answered (a terminated backend, a reset) runs once more on a fresh
// connection within what is left of `limit`: it only reads. Throws
// common::timed_out or common::internal_error with the texts' details.
boost::asio::awaitable<database::result> run_statement(service& svc, database::session& db, std::string sql, database::params params,
                                                       std::chrono::steady_clock::duration limit, statement_texts texts);

}  // namespace vectile
