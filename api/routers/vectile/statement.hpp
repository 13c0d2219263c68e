#pragma once
// Running one time-limited read statement of a tile handler inside its
// transaction, with the failures every such handler maps alike: the deadline
// passing is a time-out, a database failure or anything unexpected a server
// error, each logged once. A pool without a free connection and a
// cancellation pass through unchanged.

// GCC 12 pairs Asio's coroutine-frame operator new and delete wrongly once a
// handler's coroutine grows past a size, and warns about a mismatch there is
// not; every handler that runs a statement includes this header.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include <boost/asio/awaitable.hpp>

#include "common/cancellation.hpp"
#include "common/deadline.hpp"
#include "common/errors.hpp"
#include "database/database.hpp"
#include "routers/vectile/service.hpp"
#include "routers/vectile/transaction.hpp"

namespace vectile {

// Raised inside a transaction body when its statement outlived the handler's
// time-limit, so that the transaction rolls back before the handler answers 408.
struct statement_timeout : std::runtime_error {
    statement_timeout() : std::runtime_error("statement timed out") {}
};

// What a handler logs and tells its caller when its statement fails.
struct statement_texts {
    std::string timeout_log;      // logged as it is
    std::string timeout_detail;   // the time-out's detail
    std::string database_log;     // logged with ": " and the database's message
    std::string database_detail;  // the server error's detail
    std::string other_log;        // the same for failures outside the database layer
    std::string other_detail;

    // Texts for a handler that tells every failure alike, in and outside the database layer.
    static statement_texts alike(std::string timeout_log, std::string timeout_detail, std::string failure_log, std::string failure_detail) {
        return {std::move(timeout_log), std::move(timeout_detail), failure_log, failure_detail, failure_log, failure_detail};
    }
};

// The tile bytes in a statement's single value, or nothing (no row, NULL).
inline std::optional<std::string> tile_bytes(const std::optional<database::value>& v) {
    if (!v) return std::nullopt;
    if (auto* b = std::get_if<database::bytes>(&*v)) return b->data;
    if (auto* s = std::get_if<std::string>(&*v)) return *s;
    return std::nullopt;
}

// Runs `sql` as the last statement of a READ ONLY transaction on `db`, bounded by
// `limit`, and gives what `extract` takes from its result. Throws
// common::timed_out or common::internal_error with the texts' details.
template <class Extract>
auto run_statement(service& svc, database::session& db, std::string_view sql, const database::params& params,
                   std::chrono::steady_clock::duration limit, const statement_texts& texts, Extract extract)
    -> boost::asio::awaitable<std::invoke_result_t<Extract&, const database::result&>> {
    using T = std::invoke_result_t<Extract&, const database::result&>;
    try {
        co_return co_await db_transaction(db, [&](database::session& s) -> boost::asio::awaitable<T> {
            // Reads only: a standby may run it (see the database URL's target_session_attrs).
            s.read_only();
            auto r = co_await common::with_deadline(s.execute_last(sql, params), limit);
            if (!r) throw statement_timeout();
            co_return extract(*r);
        });
    } catch (const statement_timeout&) {
        svc.logger->error("{}", texts.timeout_log);
        throw common::timed_out(texts.timeout_detail);
    } catch (const database::pool_timeout&) {
        throw;
    } catch (const database::error& e) {
        svc.logger->error("{}: {}", texts.database_log, e.what());
        throw common::internal_error(texts.database_detail);
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        svc.logger->error("{}: {}", texts.other_log, e.what());
        throw common::internal_error(texts.other_detail);
    }
}

}  // namespace vectile
