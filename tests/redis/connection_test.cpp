// The Redis connection against the shared Redis (REDIS_HOST/REDIS_PORT) and
// private redis-server children that the tests stop and start.

#include "redis/connection.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <string>
#include <vector>

#include "common/deadline.hpp"
#include "support/black_hole.hpp"
#include "support/env.hpp"
#include "support/redis_child.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using test_support::seconds_since;

class redis_connection : public testing::Test {
protected:
    template <class T>
    T run(asio::awaitable<T> op) {
        return test_support::run(ioc, std::move(op));
    }
    void run(asio::awaitable<void> op) { test_support::run(ioc, std::move(op)); }

    redis::reply command(redis::connection& c, std::vector<std::string> argv) {
        std::vector<std::string_view> views(argv.begin(), argv.end());
        return run(c.command(std::move(views)));
    }

    redis::options shared_options() const { return {.host = test_support::redis_host(), .port = test_support::redis_port()}; }
    static redis::options child_options(std::uint16_t port) { return {.host = "127.0.0.1", .port = port}; }

    asio::io_context ioc;
    const std::string prefix = "conntest:" + test_support::unique_suffix() + ":";
};

TEST_F(redis_connection, keys_and_values_are_binary_safe) {
    redis::connection c(ioc.get_executor(), shared_options());
    const std::string key = prefix + std::string("k\0 \r\n$3", 7);
    const std::string value = std::string("\0\r\n*1\r\n$-1\r\n\xff", 13);
    run(c.set(key, value, 60));
    EXPECT_EQ(run(c.get(key)), value);
    EXPECT_EQ(run(c.del(key)), 1);
    EXPECT_EQ(run(c.del(key)), 0);
    EXPECT_EQ(run(c.get(key)), std::nullopt);
}

TEST_F(redis_connection, empty_value_is_not_a_missing_key) {
    redis::connection c(ioc.get_executor(), shared_options());
    const std::string key = prefix + "empty";
    run(c.set(key, "", 60));
    auto got = run(c.get(key));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, "");
    run(c.del(key));
}

TEST_F(redis_connection, reply_kinds_are_converted) {
    redis::connection c(ioc.get_executor(), shared_options());
    auto status = command(c, {"SET", prefix + "a", "1", "EX", "60"});
    EXPECT_EQ(status.type, redis::reply::kind::status);
    EXPECT_EQ(status.str, "OK");
    auto integer = command(c, {"INCRBY", prefix + "a", "41"});
    EXPECT_EQ(integer.type, redis::reply::kind::integer);
    EXPECT_EQ(integer.integer, 42);
    auto array = command(c, {"MGET", prefix + "a", prefix + "missing"});
    ASSERT_EQ(array.type, redis::reply::kind::array);
    ASSERT_EQ(array.elements.size(), 2u);
    EXPECT_EQ(array.elements[0].type, redis::reply::kind::string);
    EXPECT_EQ(array.elements[0].str, "42");
    EXPECT_EQ(array.elements[1].type, redis::reply::kind::nil);
    command(c, {"DEL", prefix + "a"});
}

TEST_F(redis_connection, error_reply_is_an_error_with_the_server_text_and_the_connection_goes_on) {
    redis::connection c(ioc.get_executor(), shared_options());
    const std::string key = prefix + "list";
    command(c, {"RPUSH", key, "x"});
    try {
        run(c.get(key));
        FAIL() << "GET of a list should fail";
    } catch (const redis::error& e) {
        EXPECT_NE(std::string(e.what()).find("WRONGTYPE"), std::string::npos) << e.what();
    }
    EXPECT_EQ(run(c.del(key)), 1);
}

TEST_F(redis_connection, concurrent_commands_get_their_own_replies) {
    redis::connection c(ioc.get_executor(), shared_options());
    constexpr int n = 50;
    for (int i = 0; i < n; ++i) run(c.set(prefix + std::to_string(i), "value " + std::to_string(i), 60));

    std::vector<std::optional<std::string>> got(n);
    int finished = 0;
    for (int i = 0; i < n; ++i) {
        asio::co_spawn(
            ioc,
            [&, i]() -> asio::awaitable<void> {
                const std::string key = prefix + std::to_string(i);
                got[static_cast<std::size_t>(i)] = co_await c.get(key);
                ++finished;
            },
            asio::detached);
    }
    bool done = false;
    asio::co_spawn(
        ioc,
        [&]() -> asio::awaitable<void> {
            while (finished < n) {
                asio::steady_timer t(co_await asio::this_coro::executor, 1ms);
                co_await t.async_wait(asio::use_awaitable);
            }
        },
        [&](std::exception_ptr) { done = true; });
    test_support::run_until(ioc, done, 10s);
    for (int i = 0; i < n; ++i) EXPECT_EQ(got[static_cast<std::size_t>(i)], "value " + std::to_string(i));
    for (int i = 0; i < n; ++i) run(c.del(prefix + std::to_string(i)));
}

TEST_F(redis_connection, reply_of_an_abandoned_command_does_not_reach_the_next_one) {
    redis::connection c(ioc.get_executor(), shared_options());
    const std::string list = prefix + "blocking";
    const std::string key = prefix + "after";
    // BLPOP holds the reply back for 1 s; the caller stops waiting after 0.2 s.
    auto abandoned = run(common::with_deadline(c.command({"BLPOP", list, "1"}), 200ms));
    EXPECT_FALSE(abandoned.has_value());
    run(c.set(key, "mine", 60));
    EXPECT_EQ(run(c.get(key)), "mine");
    run(c.del(key));
}

TEST_F(redis_connection, database_number_is_selected) {
    test_support::redis_child server;
    auto opts = child_options(server.port());
    opts.db = 5;
    redis::connection in_5(ioc.get_executor(), opts);
    redis::connection in_0(ioc.get_executor(), child_options(server.port()));
    run(in_5.set("k", "five", 60));
    EXPECT_EQ(run(in_5.get("k")), "five");
    EXPECT_EQ(run(in_0.get("k")), std::nullopt);
}

// AUTH goes before SELECT; a missing or wrong password fails every command.
TEST_F(redis_connection, password_is_sent_before_the_database_is_selected) {
    test_support::redis_child server;
    {
        redis::connection admin(ioc.get_executor(), child_options(server.port()));
        command(admin, {"CONFIG", "SET", "requirepass", "s3cret"});
    }
    struct password_case {
        const char* password;
        int db;
        bool accepted;
    };
    for (const auto& c : {password_case{"s3cret", 0, true}, password_case{"s3cret", 3, true}, password_case{"", 0, false},
                          password_case{"wrong", 3, false}}) {
        SCOPED_TRACE(std::string(c.password) + " db " + std::to_string(c.db));
        auto opts = child_options(server.port());
        opts.password = c.password;
        opts.db = c.db;
        redis::connection conn(ioc.get_executor(), opts);
        if (!c.accepted) {
            EXPECT_THROW(run(conn.get("k")), redis::error);
            continue;
        }
        run(conn.set("k", std::to_string(c.db), 60));
        EXPECT_EQ(run(conn.get("k")), std::to_string(c.db));
        EXPECT_NE(command(conn, {"CLIENT", "INFO"}).str.find(" db=" + std::to_string(c.db) + " "), std::string::npos);
    }
}

TEST_F(redis_connection, refused_connection_fails_promptly) {
    redis::connection c(ioc.get_executor(), child_options(test_support::free_port()));
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(run(c.get("k")), redis::error);
    EXPECT_LT(seconds_since(start), 1.0);
    // Each command tries again (and fails again).
    EXPECT_THROW(run(c.get("k")), redis::error);
}

TEST_F(redis_connection, server_that_never_answers_fails_after_the_socket_time_out) {
    test_support::black_hole hole;
    auto opts = child_options(hole.port());
    opts.socket_timeout = 300ms;
    redis::connection c(ioc.get_executor(), opts);
    auto start = std::chrono::steady_clock::now();
    try {
        run(c.get("k"));
        FAIL() << "no reply should arrive";
    } catch (const redis::error& e) {
        EXPECT_STREQ(e.what(), "Timeout reading from socket");
    }
    EXPECT_GE(seconds_since(start), 0.25);
    EXPECT_LT(seconds_since(start), 3.0);
}

TEST_F(redis_connection, server_that_never_answers_select_fails_after_the_connect_time_out) {
    test_support::black_hole hole;
    auto opts = child_options(hole.port());
    opts.db = 1;
    opts.connect_timeout = 300ms;
    redis::connection c(ioc.get_executor(), opts);
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(run(c.get("k")), redis::error);
    EXPECT_GE(seconds_since(start), 0.25);
    EXPECT_LT(seconds_since(start), 3.0);
}

TEST_F(redis_connection, reconnects_after_the_server_comes_back) {
    test_support::redis_child server;
    redis::connection c(ioc.get_executor(), child_options(server.port()));
    run(c.set("k", "before", 60));
    EXPECT_EQ(run(c.get("k")), "before");

    server.stop();
    EXPECT_THROW(run(c.get("k")), redis::error);
    server.start();
    // The next command opens a new connection (the restarted server kept nothing).
    EXPECT_EQ(run(c.get("k")), std::nullopt);
    run(c.set("k", "after", 60));
    EXPECT_EQ(run(c.get("k")), "after");
}

}  // namespace
