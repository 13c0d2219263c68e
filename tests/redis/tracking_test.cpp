// Redis's reports of changed keys, against private redis-server children
// that the tests change, flush, stop and start.

#include "redis/tracking.hpp"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/black_hole.hpp"
#include "support/redis_child.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// A blocking client of the test's own: its commands are acknowledged before
// the test goes on, without turning the loop under test.
class blocking_client {
public:
    explicit blocking_client(std::uint16_t port) : m_ctx(redisConnect("127.0.0.1", port)) {
        if (m_ctx == nullptr || m_ctx->err != 0) throw std::runtime_error("cannot connect to redis");
    }
    ~blocking_client() { redisFree(m_ctx); }
    void command(const std::vector<std::string>& argv) {
        std::vector<const char*> args;
        std::vector<std::size_t> lens;
        for (const auto& a : argv) {
            args.push_back(a.data());
            lens.push_back(a.size());
        }
        auto* r = static_cast<redisReply*>(redisCommandArgv(m_ctx, static_cast<int>(args.size()), args.data(), lens.data()));
        if (r == nullptr) throw std::runtime_error("redis command failed");
        bool failed = r->type == REDIS_REPLY_ERROR;
        freeReplyObject(r);
        if (failed) throw std::runtime_error("redis error reply");
    }

private:
    redisContext* m_ctx;
};

using change = std::optional<std::string>;  // nothing: every key
const change everything = std::nullopt;

class redis_tracking : public testing::Test {
protected:
    void watch(std::uint16_t port) {
        feed = std::make_unique<redis::tracking>(ioc.get_executor(), redis::options{.host = "127.0.0.1", .port = port}, "tiles:",
                                                 [this](std::optional<std::string_view> key) {
                                                     changes.push_back(key ? change(std::string(*key)) : everything);
                                                 });
    }
    // Asks (and lets the loop turn) until the feed is live (or down) or `limit` has passed.
    bool live_within(std::chrono::steady_clock::duration limit, bool live = true) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (feed->live() == live) return true;
            test_support::run_for(ioc, 20ms);
        }
        return feed->live() == live;
    }
    bool down_within(std::chrono::steady_clock::duration limit) { return live_within(limit, false); }

    // Asks, without turning the loop (the question itself takes in what has
    // arrived), until `count` changes are known or `limit` has passed. The
    // server may write its report a moment after its answer to the client
    // that made the change.
    void ask_until(std::size_t count, std::chrono::steady_clock::duration limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (changes.size() < count && std::chrono::steady_clock::now() < deadline) {
            EXPECT_TRUE(feed->live());
            std::this_thread::sleep_for(1ms);
        }
    }

    asio::io_context ioc;
    std::unique_ptr<redis::tracking> feed;
    std::vector<change> changes;
};

struct change_case {
    const char* name;
    std::vector<std::vector<std::string>> commands;
    std::vector<change> expected;
};

class redis_tracking_changes : public redis_tracking, public testing::WithParamInterface<change_case> {};

TEST_P(redis_tracking_changes, are_reported_for_keys_under_the_prefix_only) {
    const auto& c = GetParam();
    test_support::redis_child server;
    blocking_client other(server.port());
    other.command({"SET", "tiles:old", "v"});
    watch(server.port());
    ASSERT_TRUE(live_within(5s));
    EXPECT_EQ(changes, std::vector<change>{everything}) << "a new feed first says that anything may have changed";
    changes.clear();
    for (const auto& command : c.commands) other.command(command);
    // One more than expected: a report that should not come has time to.
    ask_until(c.expected.size() + 1, 300ms);
    EXPECT_EQ(changes, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    commands, redis_tracking_changes,
    testing::Values(change_case{"set", {{"SET", "tiles:a", "1"}}, {change("tiles:a")}},
                    change_case{"set_and_delete", {{"SET", "tiles:a", "1", "EX", "60"}, {"DEL", "tiles:a"}}, {change("tiles:a"), change("tiles:a")}},
                    change_case{"delete_of_an_older_key", {{"DEL", "tiles:old"}}, {change("tiles:old")}},
                    change_case{"binary_key", {{"SET", std::string("tiles:\0\r\n", 9), "1"}}, {change(std::string("tiles:\0\r\n", 9))}},
                    change_case{"other_prefix", {{"SET", "other:a", "1"}, {"SET", "tile:a", "1"}, {"DEL", "other:a"}}, {}},
                    change_case{"deleting_a_missing_key", {{"DEL", "tiles:missing"}}, {}},
                    change_case{"flush", {{"FLUSHALL"}}, {everything}}),
    [](const testing::TestParamInfo<change_case>& info) { return std::string(info.param.name); });

TEST_F(redis_tracking, expiry_is_a_change) {
    test_support::redis_child server;
    blocking_client other(server.port());
    watch(server.port());
    ASSERT_TRUE(live_within(5s));
    other.command({"SET", "tiles:short", "v", "PX", "100"});
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (changes.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        feed->live();
        test_support::run_for(ioc, 20ms);
    }
    EXPECT_EQ(changes, (std::vector<change>{everything, change("tiles:short"), change("tiles:short")}))
        << "set, then expired by the server on its own";
}

TEST_F(redis_tracking, losing_the_server_is_a_change_of_everything_until_a_new_feed_is_live) {
    test_support::redis_child server;
    watch(server.port());
    ASSERT_TRUE(live_within(5s));
    changes.clear();
    server.stop();
    ASSERT_TRUE(down_within(3s));
    EXPECT_EQ(changes, std::vector<change>{everything});
    EXPECT_FALSE(feed->live());

    server.start();
    ASSERT_TRUE(live_within(5s)) << "a new connection is tried again after a pause";
    EXPECT_EQ(changes, (std::vector<change>{everything, everything}));
    blocking_client other(server.port());
    other.command({"SET", "tiles:after", "1"});
    ask_until(3, 2s);
    EXPECT_EQ(changes.back(), change("tiles:after"));
}

TEST_F(redis_tracking, no_server_is_never_live_and_is_asked_again_ever_less_often) {
    test_support::redis_child server;
    server.stop();
    watch(server.port());
    int questions = 0;
    const auto deadline = std::chrono::steady_clock::now() + 3600ms;
    while (std::chrono::steady_clock::now() < deadline) {
        EXPECT_FALSE(feed->live());
        ++questions;
        test_support::run_for(ioc, 5ms);
    }
    EXPECT_GT(questions, 100);
    // Each failed attempt reports "everything": attempts at 0, 1 and 3 s.
    EXPECT_EQ(changes.size(), 3u);
}

TEST_F(redis_tracking, ends_quietly_with_a_live_feed) {
    test_support::redis_child server;
    watch(server.port());
    ASSERT_TRUE(live_within(5s));
    changes.clear();
    feed.reset();
    test_support::run_for(ioc, 100ms);
    EXPECT_TRUE(changes.empty()) << "no report after the owner is gone";
}

// The connect step's deadline expires while a stop ends the attempt, so the
// deadline's handler runs after the attempt's frame is gone. Offsets through
// the connect (resolve, connect, first command) vary from one round to the next.
TEST(redis_tracking_stop, while_connecting_to_a_server_that_never_answers_leaves_nothing_behind) {
    test_support::black_hole hole;
    for (int round = 0; round < 200; ++round) {
        asio::io_context ioc;
        auto feed = std::make_unique<redis::tracking>(
            ioc.get_executor(), redis::options{.host = "127.0.0.1", .port = hole.port(), .connect_timeout = 2ms}, "tiles:",
            [](std::optional<std::string_view>) {});
        EXPECT_FALSE(feed->live());
        test_support::run_for(ioc, std::chrono::microseconds(250 * (round % 8)));
        std::this_thread::sleep_for(3ms);  // the deadline has passed; its handler has not run yet
        feed.reset();
        ioc.run();  // returns once the stopped attempt has let go of everything
    }
    EXPECT_GT(hole.accepted(), 0);
}

}  // namespace
