// with_deadline: the value in time, nothing after the limit, and an early
// failure of the operation as itself (not as a time-out).

#include "common/deadline.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <stdexcept>

#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using test_support::run;
using test_support::seconds_since;

asio::awaitable<int> value_after(std::chrono::milliseconds delay, bool fail) {
    asio::steady_timer t(co_await asio::this_coro::executor, delay);
    co_await t.async_wait(asio::use_awaitable);
    if (fail) throw std::runtime_error("operation failed");
    co_return 42;
}

asio::awaitable<void> nothing_after(std::chrono::milliseconds delay, bool fail, bool& finished) {
    asio::steady_timer t(co_await asio::this_coro::executor, delay);
    co_await t.async_wait(asio::use_awaitable);
    if (fail) throw std::runtime_error("operation failed");
    finished = true;
}

TEST(with_deadline, returns_the_value_when_in_time) {
    asio::io_context ioc;
    auto start = std::chrono::steady_clock::now();
    auto got = run(ioc, common::with_deadline(value_after(10ms, false), 5s));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, 42);
    EXPECT_LT(seconds_since(start), 3.0);  // not held until the limit
}

TEST(with_deadline, gives_nothing_at_the_limit_and_cancels_the_operation) {
    asio::io_context ioc;
    auto start = std::chrono::steady_clock::now();
    auto got = run(ioc, common::with_deadline(value_after(10s, false), 300ms));
    EXPECT_FALSE(got.has_value());
    EXPECT_GE(seconds_since(start), 0.25);
    EXPECT_LT(seconds_since(start), 5.0);
    // The abandoned operation's timer was cancelled: nothing is left to run.
    ioc.restart();
    EXPECT_EQ(ioc.poll(), 0u);
    EXPECT_TRUE(ioc.stopped());
}

TEST(with_deadline, rethrows_an_early_failure_at_once) {
    asio::io_context ioc;
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(run(ioc, common::with_deadline(value_after(10ms, true), 5s)), std::runtime_error);
    EXPECT_LT(seconds_since(start), 3.0);
}

TEST(with_deadline, void_form_reports_in_time_late_and_failed) {
    asio::io_context ioc;
    bool finished = false;
    EXPECT_TRUE(run(ioc, common::with_deadline(nothing_after(10ms, false, finished), 5s)));
    EXPECT_TRUE(finished);

    finished = false;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(run(ioc, common::with_deadline(nothing_after(10s, false, finished), 300ms)));
    EXPECT_FALSE(finished);
    EXPECT_GE(seconds_since(start), 0.25);

    start = std::chrono::steady_clock::now();
    EXPECT_THROW(run(ioc, common::with_deadline(nothing_after(10ms, true, finished), 5s)), std::runtime_error);
    EXPECT_LT(seconds_since(start), 3.0);
}

}  // namespace
