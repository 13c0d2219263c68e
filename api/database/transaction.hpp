#pragma once
// The scoped use of one database session: commit on success, roll back on
// failure, close in every case.

#include <exception>
#include <optional>
#include <type_traits>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/this_coro.hpp>

#include "common/cancellation.hpp"
#include "database/session.hpp"
#include "metrics/metrics.hpp"

namespace database {

namespace detail {
template <class A>
struct awaitable_value;
template <class T>
struct awaitable_value<boost::asio::awaitable<T>> {
    using type = T;
};
}  // namespace detail

// Runs `body(db)`; when it completes, commits. When the body or the commit
// fails, rolls back and passes the same error on (a failing rollback does not
// replace it). Always closes the session. A cancelled request is not an
// error: the session is closed (which leaves the connection clean) without
// a rollback, and the cancellation continues.
template <class Body>
auto db_transaction(session& db, Body body)
    -> boost::asio::awaitable<typename detail::awaitable_value<std::invoke_result_t<Body&, session&>>::type> {
    using T = typename detail::awaitable_value<std::invoke_result_t<Body&, session&>>::type;
    static_assert(!std::is_void_v<T>, "the body must produce a value");
    std::optional<T> value;
    std::exception_ptr failure;
    try {
        value.emplace(co_await body(db));
        co_await db.commit();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure && common::is_cancellation(failure)) {
        // Further waits of a cancelled coroutine would fail at once; closing must still happen.
        co_await boost::asio::this_coro::reset_cancellation_state();
        co_await db.close();
        std::rethrow_exception(failure);
    }
    if (failure) {
        try {
            co_await db.rollback();
        } catch (...) {
            // The first failure is the one to report; the failed rollback's
            // connection is replaced by the pool.
            metrics::count_handled_error(metrics::component::database);
        }
        co_await db.close();
        std::rethrow_exception(failure);
    }
    co_await db.close();
    co_return std::move(*value);
}

}  // namespace database
