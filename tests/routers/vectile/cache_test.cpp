// The binary tile cache and its guarded read and write, against the shared
// Redis and against private servers that are stopped or never answer.

#include "routers/vectile/cache.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <random>
#include <string>

#include "routers/vectile/service.hpp"
#include "support/black_hole.hpp"
#include "support/env.hpp"
#include "support/log_capture.hpp"
#include "support/redis_child.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using test_support::log_capture;
using test_support::seconds_since;

class cache_test : public testing::Test {
protected:
    template <class T>
    T run(asio::awaitable<T> op) {
        return test_support::run(ioc, std::move(op));
    }
    void run(asio::awaitable<void> op) { test_support::run(ioc, std::move(op)); }

    redis::options shared_options() const { return {.host = test_support::redis_host(), .port = test_support::redis_port()}; }
    vectile::redis_settings shared_settings() const { return {test_support::redis_host(), test_support::redis_port(), 0}; }
    static vectile::redis_settings local(std::uint16_t port) { return {"127.0.0.1", port, 0}; }

    long long ttl_of(redis::connection& c, const std::string& key) {
        std::vector<std::string_view> argv{"TTL", key};
        return run(c.command(std::move(argv))).integer;
    }

    asio::io_context ioc;
    const std::string unique = test_support::unique_suffix();
};

// ------------------------------------------------------------------ keys

TEST_F(cache_test, make_key_prefixes_the_namespace) {
    redis::connection unused(ioc.get_executor(), redis::options{});
    vectile::BinaryRedisCache deployed(unused, "mvt_v8");
    vectile::BinaryRedisCache by_default(unused);
    EXPECT_EQ(deployed._make_key("plots:18:1:2"), "mvt_v8:plots:18:1:2");
    EXPECT_EQ(by_default._make_key("plots:18:1:2"), "mvt:plots:18:1:2");
    EXPECT_EQ(by_default._make_key(""), "mvt:");
    EXPECT_EQ(by_default._make_key("bbox:plots:-0:1:2:3:5000:True"), "mvt:bbox:plots:-0:1:2:3:5000:True");
}

// ------------------------------------------------------------------ values

std::string all_byte_values() {
    std::string out;
    for (int i = 0; i < 256; ++i) out.push_back(static_cast<char>(i));
    return out;
}

std::string random_bytes(std::size_t n) {
    std::mt19937 gen(12345);
    std::string out(n, '\0');
    for (auto& c : out) c = static_cast<char>(gen() & 0xff);
    return out;
}

struct value_case {
    const char* name;
    std::string bytes;
};

// Names the case in test listings.
void PrintTo(const value_case& c, std::ostream* os) { *os << c.name; }

class binary_values : public cache_test, public testing::WithParamInterface<value_case> {};

TEST_P(binary_values, round_trip_unchanged_under_the_namespaced_key) {
    redis::connection conn(ioc.get_executor(), shared_options());
    vectile::BinaryRedisCache cache(conn, "cachetest_" + unique);
    const std::string key = std::string("plots:18:1:") + GetParam().name;
    run(cache.set(key, GetParam().bytes, 60));

    auto got = run(cache.get(key));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->size(), GetParam().bytes.size());
    EXPECT_TRUE(*got == GetParam().bytes);
    // Stored verbatim under namespace + ":" + key.
    EXPECT_TRUE(run(conn.get("cachetest_" + unique + ":" + key)) == GetParam().bytes);

    run(cache.delete_(key));
    EXPECT_EQ(run(cache.get(key)), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    bytes, binary_values,
    testing::Values(value_case{"nul_bytes", std::string("\0a\0\0b\0", 6)}, value_case{"invalid_utf8", "\xff\xfe\xc3\x28\xa0\xa1\xe2\x82"},
                    value_case{"all_256_values", all_byte_values()}, value_case{"empty", ""},
                    value_case{"protocol_lookalike", "$5\r\nhello\r\n-ERR x\r\n"}, value_case{"one_mib_random", random_bytes(1024 * 1024)}),
    [](const testing::TestParamInfo<value_case>& info) { return std::string(info.param.name); });

TEST_F(cache_test, missing_key_gives_nothing) {
    redis::connection conn(ioc.get_executor(), shared_options());
    vectile::BinaryRedisCache cache(conn, "cachetest_" + unique);
    EXPECT_EQ(run(cache.get("never:written")), std::nullopt);
}

TEST_F(cache_test, set_stores_with_the_given_expiry_or_3600_seconds) {
    redis::connection conn(ioc.get_executor(), shared_options());
    vectile::BinaryRedisCache cache(conn, "cachetest_" + unique);
    run(cache.set("given", "v", 1234));
    run(cache.set("default", "v"));
    auto given = ttl_of(conn, cache._make_key("given"));
    auto by_default = ttl_of(conn, cache._make_key("default"));
    EXPECT_GE(given, 1230);
    EXPECT_LE(given, 1234);
    EXPECT_GE(by_default, 3595);
    EXPECT_LE(by_default, 3600);
    run(cache.delete_("given"));
    run(cache.delete_("default"));
}

// ------------------------------------------------------------------ guarded operations, Redis healthy

TEST_F(cache_test, safe_operations_use_the_service_namespace_and_the_callers_expiry_silently) {
    vectile::service svc(ioc.get_executor(), shared_settings());
    log_capture log;
    const std::string key = "cachetest:" + unique + ":plots:16:1:2";
    const std::string tile = std::string("\x1a\x00\xff", 3);
    run(vectile::safe_cache_set(svc, key, tile, 777));
    EXPECT_EQ(run(vectile::safe_cache_get(svc, key)), tile);
    EXPECT_EQ(run(vectile::safe_cache_get(svc, key + ":missing")), std::nullopt);

    redis::connection conn(ioc.get_executor(), shared_options());
    auto ttl = ttl_of(conn, "mvt_v8:" + key);
    EXPECT_GE(ttl, 773);
    EXPECT_LE(ttl, 777);
    EXPECT_EQ(run(conn.del("mvt_v8:" + key)), 1);
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

TEST_F(cache_test, safe_get_of_a_server_error_is_a_miss_with_one_warning) {
    vectile::service svc(ioc.get_executor(), shared_settings());
    redis::connection conn(ioc.get_executor(), shared_options());
    const std::string key = "cachetest:" + unique + ":list";
    const std::string full = "mvt_v8:" + key;
    std::vector<std::string_view> push{"RPUSH", full, "x"};
    run(conn.command(push));
    log_capture log;
    EXPECT_EQ(run(vectile::safe_cache_get(svc, key)), std::nullopt);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("warning [vectile] Cache get failed for " + key + ": WRONGTYPE")) << lines[0];
    run(conn.del(full));
}

TEST_F(cache_test, safe_set_refused_by_the_server_logs_one_warning_and_returns) {
    vectile::service svc(ioc.get_executor(), shared_settings());
    log_capture log;
    const std::string key = "cachetest:" + unique + ":refused";
    EXPECT_NO_THROW(run(vectile::safe_cache_set(svc, key, "v", 0)));  // Redis rejects a non-positive expiry
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("warning [vectile] Cache set failed for " + key + ": ")) << lines[0];
    EXPECT_NE(lines[0].find("expire"), std::string::npos) << lines[0];
}

// ------------------------------------------------------------------ guarded operations, Redis sick

enum class outage { never_started, stopped_after_use };

void PrintTo(outage o, std::ostream* os) { *os << (o == outage::never_started ? "never_started" : "stopped_after_use"); }

class redis_down : public cache_test, public testing::WithParamInterface<outage> {};

TEST_P(redis_down, safe_get_is_a_prompt_miss_with_one_warning_per_call) {
    test_support::redis_child server;
    vectile::service svc(ioc.get_executor(), local(server.port()));
    if (GetParam() == outage::stopped_after_use) {
        run(vectile::safe_cache_set(svc, "k", "v", 60));
        ASSERT_EQ(run(vectile::safe_cache_get(svc, "k")), "v");
    }
    server.stop();

    log_capture log;
    for (int call = 1; call <= 2; ++call) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(run(vectile::safe_cache_get(svc, "plots:16:1:2")), std::nullopt);
        EXPECT_LT(seconds_since(start), 0.5);
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(call));
        const std::string expected_start = "warning [vectile] Cache get failed for plots:16:1:2: ";
        EXPECT_TRUE(lines.back().starts_with(expected_start)) << lines.back();
        EXPECT_GT(lines.back().size(), expected_start.size()) << "the failure should be described";
    }
}

TEST_P(redis_down, safe_set_logs_one_warning_and_does_not_throw) {
    test_support::redis_child server;
    vectile::service svc(ioc.get_executor(), local(server.port()));
    if (GetParam() == outage::stopped_after_use) run(vectile::safe_cache_set(svc, "k", "v", 60));
    server.stop();

    log_capture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(run(vectile::safe_cache_set(svc, "plots:16:1:2", "tile", 1800)));
    EXPECT_LT(seconds_since(start), 0.5);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string expected_start = "warning [vectile] Cache set failed for plots:16:1:2: ";
    EXPECT_TRUE(lines[0].starts_with(expected_start)) << lines[0];
    EXPECT_GT(lines[0].size(), expected_start.size());
}

INSTANTIATE_TEST_SUITE_P(outages, redis_down, testing::Values(outage::never_started, outage::stopped_after_use),
                         [](const testing::TestParamInfo<outage>& info) {
                             return std::string(info.param == outage::never_started ? "never_started" : "stopped_after_use");
                         });

struct hang_case {
    const char* name;
    double timeout;  // 0: the default
    double at_least;
    double at_most;
};

// Names the case in test listings.
void PrintTo(const hang_case& c, std::ostream* os) { *os << c.name; }

class redis_never_answers : public cache_test, public testing::WithParamInterface<hang_case> {};

TEST_P(redis_never_answers, safe_get_gives_up_at_its_time_out_with_an_empty_description) {
    test_support::black_hole hole;
    vectile::service svc(ioc.get_executor(), local(hole.port()));
    log_capture log;
    auto start = std::chrono::steady_clock::now();
    auto got = GetParam().timeout > 0 ? run(vectile::safe_cache_get(
                                          svc, "plots:18:1:2", std::chrono::milliseconds(std::lround(GetParam().timeout * 1000))))
                                      : run(vectile::safe_cache_get(svc, "plots:18:1:2"));
    auto elapsed = seconds_since(start);
    EXPECT_EQ(got, std::nullopt);
    EXPECT_GE(elapsed, GetParam().at_least);
    EXPECT_LE(elapsed, GetParam().at_most);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"warning [vectile] Cache get failed for plots:18:1:2: "});
    EXPECT_GE(hole.accepted(), 1);
}

INSTANTIATE_TEST_SUITE_P(time_outs, redis_never_answers,
                         testing::Values(hang_case{"default_one_second", 0, 0.9, 3.0}, hang_case{"caller_given", 0.3, 0.25, 2.5}),
                         [](const testing::TestParamInfo<hang_case>& info) { return std::string(info.param.name); });

TEST_F(cache_test, next_command_after_redis_comes_back_reconnects_and_works) {
    test_support::redis_child server;
    vectile::service svc(ioc.get_executor(), local(server.port()));
    run(vectile::safe_cache_set(svc, "k", "before", 60));
    server.stop();
    {
        log_capture log;
        EXPECT_EQ(run(vectile::safe_cache_get(svc, "k")), std::nullopt);
        EXPECT_EQ(log.lines().size(), 1u);
    }
    server.start();
    log_capture log;
    run(vectile::safe_cache_set(svc, "k", "after", 60));
    EXPECT_EQ(run(vectile::safe_cache_get(svc, "k")), "after");
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

}  // namespace
