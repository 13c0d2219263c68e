// The transaction scope around one session, observed through a fake session
// that records every call (the real-PostgreSQL case is in the service tests).

#include "database/transaction.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/deadline.hpp"
#include "common/errors.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using test_support::seconds_since;

asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
    asio::steady_timer t(co_await asio::this_coro::executor, d);
    co_await t.async_wait(asio::use_awaitable);
}

// Records the calls in order. Each call is recorded when it finishes, so a
// call that was cut short by cancellation does not appear as done.
class recording_session final : public database::session {
public:
    std::vector<std::string> calls;
    std::chrono::milliseconds execute_wait{0};
    std::chrono::milliseconds commit_wait{0};
    bool fail_commit = false;
    bool fail_rollback = false;

    asio::awaitable<database::result> execute(std::string_view, database::params) override {
        calls.push_back("execute started");
        if (execute_wait.count() > 0) co_await sleep_for(execute_wait);
        calls.push_back("execute");
        co_return database::result{};
    }
    asio::awaitable<void> commit() override {
        if (commit_wait.count() > 0) co_await sleep_for(commit_wait);
        calls.push_back("commit");
        if (fail_commit) throw database::error("could not serialize access", "40001");
    }
    asio::awaitable<void> rollback() override {
        co_await sleep_for(1ms);
        calls.push_back("rollback");
        if (fail_rollback) throw database::error("rollback failed too");
    }
    asio::awaitable<void> close() override {
        // A real close waits on the socket; it must still complete after a cancellation.
        co_await sleep_for(1ms);
        calls.push_back("close");
    }
};

enum class body_outcome { value, std_error, database_error, request_error };

struct scope_case {
    const char* name;
    body_outcome body;
    bool fail_commit;
    bool fail_rollback;
    std::vector<std::string> calls;
    std::string error;  // what reaches the caller; empty: the value 42
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const scope_case& c, std::ostream* os) { *os << c.name; }

class transaction_scope : public testing::TestWithParam<scope_case> {};

TEST_P(transaction_scope, commits_or_rolls_back_and_always_closes) {
    const auto& c = GetParam();
    asio::io_context ioc;
    recording_session fake;
    fake.fail_commit = c.fail_commit;
    fake.fail_rollback = c.fail_rollback;
    const database::session* seen = nullptr;

    auto body = [&](database::session& s) -> asio::awaitable<int> {
        seen = &s;
        co_await s.execute("SELECT 1");
        switch (c.body) {
            case body_outcome::std_error: throw std::runtime_error("the body failed");
            case body_outcome::database_error: throw database::error("relation \"PLOT\" does not exist", "42P01");
            case body_outcome::request_error: throw common::not_found("teapot");
            case body_outcome::value: break;
        }
        co_return 42;
    };

    std::string outcome;
    try {
        int v = test_support::run(ioc, database::db_transaction(fake, body));
        outcome = "value " + std::to_string(v);
    } catch (const database::error& e) {
        outcome = std::string("database::error ") + e.what() + " [" + e.sqlstate() + "]";
    } catch (const common::not_found& e) {
        outcome = std::string("not_found ") + e.detail();
    } catch (const std::runtime_error& e) {
        outcome = std::string("std::runtime_error ") + e.what();
    }
    EXPECT_EQ(outcome, c.error.empty() ? "value 42" : c.error);
    EXPECT_EQ(seen, &fake) << "the body gets the same session";
    std::vector<std::string> expected{"execute started"};
    expected.insert(expected.end(), c.calls.begin(), c.calls.end());
    EXPECT_EQ(fake.calls, expected);
}

INSTANTIATE_TEST_SUITE_P(
    outcomes, transaction_scope,
    testing::Values(
        scope_case{"body_succeeds", body_outcome::value, false, false, {"execute", "commit", "close"}, ""},
        scope_case{"body_fails", body_outcome::std_error, false, false, {"execute", "rollback", "close"},
                   "std::runtime_error the body failed"},
        scope_case{"body_fails_in_the_database", body_outcome::database_error, false, false, {"execute", "rollback", "close"},
                   "database::error relation \"PLOT\" does not exist [42P01]"},
        scope_case{"body_raises_a_request_error", body_outcome::request_error, false, false, {"execute", "rollback", "close"},
                   "not_found teapot"},
        scope_case{"commit_fails", body_outcome::value, true, false, {"execute", "commit", "rollback", "close"},
                   "database::error could not serialize access [40001]"},
        scope_case{"rollback_failure_does_not_replace_the_error", body_outcome::std_error, false, true,
                   {"execute", "rollback", "close"}, "std::runtime_error the body failed"},
        scope_case{"rollback_failure_after_a_failed_commit", body_outcome::value, true, true,
                   {"execute", "commit", "rollback", "close"}, "database::error could not serialize access [40001]"}),
    [](const testing::TestParamInfo<scope_case>& info) { return std::string(info.param.name); });

struct cancel_case {
    const char* name;
    std::chrono::milliseconds execute_wait;
    std::chrono::milliseconds commit_wait;
    std::vector<std::string> calls;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const cancel_case& c, std::ostream* os) { *os << c.name; }

class transaction_cancelled : public testing::TestWithParam<cancel_case> {};

TEST_P(transaction_cancelled, closes_without_rolling_back) {
    const auto& c = GetParam();
    asio::io_context ioc;
    recording_session fake;
    fake.execute_wait = c.execute_wait;
    fake.commit_wait = c.commit_wait;
    auto body = [](database::session& s) -> asio::awaitable<int> {
        co_await s.execute("SELECT pg_sleep(60)");
        co_return 1;
    };
    auto start = std::chrono::steady_clock::now();
    // The request gives up after 50 ms, as a statement time-limit or a client that went away would.
    auto got = test_support::run(ioc, common::with_deadline(database::db_transaction(fake, body), 50ms));
    EXPECT_EQ(got, std::nullopt);
    EXPECT_LT(seconds_since(start), 10.0) << "the cancellation must not wait for the long operation";
    EXPECT_EQ(fake.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    while_waiting, transaction_cancelled,
    testing::Values(cancel_case{"in_the_statement", 60000ms, 0ms, {"execute started", "close"}},
                    cancel_case{"in_the_commit", 0ms, 60000ms, {"execute started", "execute", "close"}}),
    [](const testing::TestParamInfo<cancel_case>& info) { return std::string(info.param.name); });

}  // namespace
