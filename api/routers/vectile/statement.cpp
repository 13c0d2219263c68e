#include "routers/vectile/statement.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <variant>

#include <boost/asio/this_coro.hpp>

#include "common/cancellation.hpp"
#include "common/deadline.hpp"
#include "common/errors.hpp"
#include "metrics/metrics.hpp"
#include "routers/vectile/service.hpp"

namespace vectile {

namespace asio = boost::asio;
using clock = std::chrono::steady_clock;

namespace {

// Raised inside the transaction when its statement outlived the handler's
// time-limit, so that the transaction rolls back before the handler answers 408.
struct statement_timeout : std::runtime_error {
    statement_timeout() : std::runtime_error("statement timed out") {}
};

// One transaction's statement; named, so that no temporary of it is bound
// inside the awaited call.
struct read_statement {
    const std::string& sql;
    const database::params& params;
    clock::time_point deadline;

    asio::awaitable<database::result> operator()(database::session& s) const {
        // Reads only: a standby may run it (see the database URL's target_session_attrs).
        s.read_only();
        auto run = s.execute_last(sql, params);
        auto r = co_await common::with_deadline(std::move(run), std::max<clock::duration>(deadline - clock::now(), clock::duration(1)));
        if (!r) throw statement_timeout();
        co_return std::move(*r);
    }
};

bool is_lost_connection(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const database::unreachable&) {
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

std::optional<std::string> tile_bytes(const database::result& r) {
    const auto v = r.scalar_one_or_none();
    if (!v) return std::nullopt;
    if (auto* b = std::get_if<database::bytes>(&*v)) return b->data;
    if (auto* s = std::get_if<std::string>(&*v)) return *s;
    return std::nullopt;
}

asio::awaitable<database::result> run_statement(service& svc, database::session& db, std::string sql, database::params params,
                                                clock::duration limit, statement_texts texts) {
    const read_statement body{sql, params, clock::now() + limit};
    std::exception_ptr failure;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::optional<database::result> r;
        try {
            r = co_await body(db);
            co_await db.commit();
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            co_await db.close();
            co_return std::move(*r);
        }
        if (common::is_cancellation(failure)) {
            // Further waits of a cancelled coroutine would fail at once; closing must still happen.
            co_await asio::this_coro::reset_cancellation_state();
            co_await db.close();
            std::rethrow_exception(failure);
        }
        bool again = attempt == 0 && clock::now() < body.deadline && is_lost_connection(failure);
        if (again) again = co_await db.renew();
        if (again) {
            svc.logger->warn("{}: the connection was lost; running the statement again on a fresh one", texts.database_log);
            failure = nullptr;
            continue;
        }
        try {
            co_await db.rollback();
        } catch (const std::exception& e) {
            if (common::is_cancellation(e)) throw;
            // The first failure is the one to report; the pool replaces the connection.
            metrics::count_handled_error(metrics::component::database);
        }
        co_await db.close();
        break;
    }
    try {
        std::rethrow_exception(failure);
    } catch (const statement_timeout&) {
        svc.logger->error("{}", texts.timeout_log);
        throw common::timed_out(texts.timeout_detail);
    } catch (const database::pool_timeout&) {
        throw;
    } catch (const database::unreachable& e) {
        if (texts.unreachable_passes) throw;  // logged with the answer
        svc.logger->error("{}: {}", texts.database_log, e.what());
        throw common::internal_error(texts.database_detail);
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
