#pragma once
// Running one coroutine to completion on a test's io_context.

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace test_support {

namespace asio = boost::asio;

// Turns the loop until `done` is true. Other work on the loop (background
// clean-ups, watchdogs) is left pending rather than waited for, so a test
// pays only for what it awaits. Throws when the loop runs dry first or when
// nothing completes within `limit`, so a hung operation fails the test
// instead of hanging it.
void run_until(asio::io_context& ioc, const bool& done, std::chrono::steady_clock::duration limit);

// Turns the loop for `duration` (lets background work proceed).
void run_for(asio::io_context& ioc, std::chrono::steady_clock::duration duration);

inline constexpr std::chrono::seconds default_run_limit{60};

// Runs `op` on `ioc` until it finishes; returns its value or rethrows its exception.
template <class T>
T run(asio::io_context& ioc, asio::awaitable<T> op, std::chrono::steady_clock::duration limit = default_run_limit) {
    bool done = false;
    std::exception_ptr failure;
    std::optional<T> value;
    asio::co_spawn(ioc, std::move(op), [&](std::exception_ptr e, T v) {
        done = true;
        if (e) {
            failure = e;
        } else {
            value.emplace(std::move(v));
        }
    });
    run_until(ioc, done, limit);
    if (failure) std::rethrow_exception(failure);
    return std::move(*value);
}

inline void run(asio::io_context& ioc, asio::awaitable<void> op, std::chrono::steady_clock::duration limit = default_run_limit) {
    bool done = false;
    std::exception_ptr failure;
    asio::co_spawn(ioc, std::move(op), [&](std::exception_ptr e) {
        done = true;
        failure = e;
    });
    run_until(ioc, done, limit);
    if (failure) std::rethrow_exception(failure);
}

// Seconds elapsed since `start`, for the generous time bounds of tests.
inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace test_support
