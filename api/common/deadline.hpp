#pragma once
// Waiting for an operation with a deadline.
//
// Asio's `||` completes with the first operand that succeeds, so an operation
// that fails early would otherwise wait for the timer and look like a time-out.
// Here the operation's own failure is carried through as a value and rethrown.
// The timer completes as a value too: its cancellation, on every request that
// finishes in time, must not cost a thrown exception.

#include <chrono>
#include <exception>
#include <optional>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace common {

namespace detail {

// A struct, not a variant: `||` would merge a variant's alternatives into its own.
template <class T>
struct outcome {
    std::optional<T> value;
    std::exception_ptr error;
};

template <class T>
boost::asio::awaitable<outcome<T>> capture(boost::asio::awaitable<T> op) {
    outcome<T> out;
    try {
        out.value.emplace(co_await std::move(op));
    } catch (...) {
        out.error = std::current_exception();
    }
    co_return out;
}

inline boost::asio::awaitable<outcome<bool>> capture_void(boost::asio::awaitable<void> op) {
    outcome<bool> out;
    try {
        co_await std::move(op);
        out.value = true;
    } catch (...) {
        out.error = std::current_exception();
    }
    co_return out;
}

}  // namespace detail

template <class T>
boost::asio::awaitable<std::optional<T>> with_deadline(boost::asio::awaitable<T> op, std::chrono::steady_clock::duration limit) {
    using namespace boost::asio::experimental::awaitable_operators;
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, limit);
    auto outcome = co_await (detail::capture(std::move(op)) || timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)));
    if (outcome.index() == 1) co_return std::nullopt;
    auto& v = std::get<0>(outcome);
    if (v.error) std::rethrow_exception(v.error);
    co_return std::move(v.value);
}

// The same for an operation without a value: true when it finished in time.
inline boost::asio::awaitable<bool> with_deadline(boost::asio::awaitable<void> op, std::chrono::steady_clock::duration limit) {
    using namespace boost::asio::experimental::awaitable_operators;
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, limit);
    auto outcome = co_await (detail::capture_void(std::move(op)) || timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)));
    if (outcome.index() == 1) co_return false;
    auto& v = std::get<0>(outcome);
    if (v.error) std::rethrow_exception(v.error);
    co_return true;
}

}  // namespace common
