// The built gisd binary: start-up lines, settings from the environment,
// refusal of bad settings, and a clean, graceful SIGTERM.

#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "support/black_hole.hpp"
#include "support/gisd_process.hpp"
#include "support/http_client.hpp"
#include "support/redis_child.hpp"

namespace {

using namespace std::chrono_literals;
using env_map = std::map<std::string, std::optional<std::string>>;
using test_support::gisd_process;

// Exit status 0 after SIGTERM, within a generous limit.
void expect_clean_exit_after_sigterm(gisd_process& gisd) {
    auto status = gisd.stop();
    ASSERT_TRUE(status.has_value()) << "gisd did not stop after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status)) << "gisd ended by signal " << (WIFSIGNALED(*status) ? WTERMSIG(*status) : 0);
    if (WIFEXITED(*status)) {
        EXPECT_EQ(WEXITSTATUS(*status), 0) << gisd.process().err();
    }
}

struct startup_case {
    const char* name;
    env_map env;
    const char* redis_line;
};

// Names the case in test listings.
void PrintTo(const startup_case& c, std::ostream* os) { *os << c.name; }

class startup_lines : public testing::TestWithParam<startup_case> {};

TEST_P(startup_lines, are_printed_exactly_and_in_order) {
    gisd_process gisd({}, GetParam().env);
    ASSERT_TRUE(gisd.wait_listening()) << gisd.process().err();
    auto lines = gisd.out_lines();
    ASSERT_GE(lines.size(), 4u) << gisd.process().out();
    EXPECT_EQ(lines[0], "\u2713 Binary Redis cache initialized (no UTF-8 decoding)");
    EXPECT_EQ(lines[1], "  - Namespace: mvt_v8");
    EXPECT_EQ(lines[2], GetParam().redis_line);
    EXPECT_EQ(lines[3], "  - decode_responses: False (handles binary data)");
    expect_clean_exit_after_sigterm(gisd);
}

INSTANTIATE_TEST_SUITE_P(
    settings, startup_lines,
    testing::Values(startup_case{"defaults", {}, "  - Redis: localhost:6379/0"},
                    startup_case{"port_6380", {{"REDIS_PORT", "6380"}}, "  - Redis: localhost:6380/0"},
                    startup_case{"all_three", {{"REDIS_HOST", "127.0.0.1"}, {"REDIS_PORT", "6390"}, {"REDIS_DB", "3"}}, "  - Redis: 127.0.0.1:6390/3"},
                    // A set but empty host is used as it is, not replaced by the default.
                    startup_case{"empty_host", {{"REDIS_HOST", ""}}, "  - Redis: :6379/0"},
                    // The sentinels are not asked before the first request; REDIS_HOST is not used.
                    startup_case{"sentinels",
                                 {{"REDIS_HOST", "unused"}, {"REDIS_SENTINELS", "127.0.0.1:1, [::1]:2"}, {"REDIS_SENTINEL_MASTER", "gisd"}},
                                 "  - Redis: primary 'gisd' of 2 sentinels/0"}),
    [](const testing::TestParamInfo<startup_case>& info) { return std::string(info.param.name); });

struct bad_setting_case {
    const char* name;
    env_map env;
    const char* variable;
};

// Names the case in test listings.
void PrintTo(const bad_setting_case& c, std::ostream* os) { *os << c.name; }

class bad_setting : public testing::TestWithParam<bad_setting_case> {
protected:
    void test_bad_setting(gisd_process& gisd);
};

TEST_P(bad_setting, stops_the_load_with_the_error_on_stderr) {
    gisd_process gisd({}, GetParam().env);
    test_bad_setting(gisd);
}

TEST_P(bad_setting, stops_every_worker_when_they_fail_to_start) {
    gisd_process gisd({"--workers", "2"}, GetParam().env);
    test_bad_setting(gisd);
}

void bad_setting::test_bad_setting(gisd_process& gisd) {
    auto status = gisd.process().wait(10s);
    ASSERT_TRUE(status.has_value()) << "gisd should have stopped by itself";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_NE(WEXITSTATUS(*status), 0);
    EXPECT_NE(gisd.process().err().find(GetParam().variable), std::string::npos) << gisd.process().err();
    EXPECT_EQ(gisd.process().out().find("listening"), std::string::npos);
    EXPECT_EQ(gisd.process().out().find("Binary Redis cache initialized"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(settings, bad_setting,
                         testing::Values(bad_setting_case{"port_abc", {{"REDIS_PORT", "abc"}}, "REDIS_PORT"},
                                         bad_setting_case{"port_empty", {{"REDIS_PORT", ""}}, "REDIS_PORT"},
                                         bad_setting_case{"port_trailing_text", {{"REDIS_PORT", "6379x"}}, "REDIS_PORT"},
                                         bad_setting_case{"db_abc", {{"REDIS_DB", "abc"}}, "REDIS_DB"},
                                         bad_setting_case{"sentinels_without_master", {{"REDIS_SENTINELS", "127.0.0.1:26379"}},
                                                          "REDIS_SENTINEL_MASTER"},
                                         bad_setting_case{"sentinel_without_port",
                                                          {{"REDIS_SENTINELS", "127.0.0.1:26379,10.0.0.2"}, {"REDIS_SENTINEL_MASTER", "m"}},
                                                          "REDIS_SENTINELS: not host:port: 10.0.0.2"}),
                         [](const testing::TestParamInfo<bad_setting_case>& info) { return std::string(info.param.name); });

TEST(gisd, bad_port_error_names_the_value) {
    gisd_process gisd({}, {{"REDIS_PORT", "abc"}});
    ASSERT_TRUE(gisd.process().wait(10s).has_value());
    EXPECT_NE(gisd.process().err().find("abc"), std::string::npos) << gisd.process().err();
}

TEST(gisd, sigterm_right_after_listening_exits_0) {
    gisd_process gisd;
    ASSERT_TRUE(gisd.wait_listening()) << gisd.process().err();
    expect_clean_exit_after_sigterm(gisd);
    EXPECT_NE(gisd.process().out().find("gisd: stopped"), std::string::npos);
}

TEST(gisd, answers_openapi_and_health_then_stops_on_sigterm) {
    test_support::redis_child redis;
    gisd_process gisd({}, {{"REDIS_HOST", "127.0.0.1"}, {"REDIS_PORT", std::to_string(redis.port())}});
    auto port = gisd.wait_listening();
    ASSERT_TRUE(port) << gisd.process().err();
    auto doc = test_support::http_request(*port, boost::beast::http::verb::get, "/openapi.json");
    EXPECT_EQ(doc.status, 200u);
    EXPECT_NE(doc.body.find("\"/gis/health/\""), std::string::npos);
    auto health = test_support::http_request(*port, boost::beast::http::verb::get, "/gis/health/");
    EXPECT_EQ(health.status, 200u);
    EXPECT_NE(health.body.find(R"("cache_status":"healthy")"), std::string::npos) << health.body;
    expect_clean_exit_after_sigterm(gisd);
}

TEST(gisd, sigterm_lets_a_request_in_flight_finish) {
    // The health probe waits 2 s for a Redis that never answers: a request
    // that is still running when the signal arrives.
    test_support::black_hole hole;
    gisd_process gisd({}, {{"REDIS_HOST", "127.0.0.1"}, {"REDIS_PORT", std::to_string(hole.port())}});
    auto port = gisd.wait_listening();
    ASSERT_TRUE(port) << gisd.process().err();

    auto reply = std::async(std::launch::async, [p = *port] {
        return test_support::http_request(p, boost::beast::http::verb::get, "/gis/health/");
    });
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (hole.accepted() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    ASSERT_GT(hole.accepted(), 0) << "the health probe never reached Redis";
    gisd.process().signal(SIGTERM);

    auto r = reply.get();
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body,
              R"({"status":"healthy","cache_status":"unhealthy","available_layers":["plots","beacons","cadzones","districts","lgas"],)"
              R"("zoom_support":"1-20 with layer-specific minimums"})");
    EXPECT_FALSE(r.keep_alive);
    auto status = gisd.process().wait(10s);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
}

// The pids of the workers of `--workers N`: the children of the supervisor.
std::vector<pid_t> workers_of(pid_t parent) {
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    std::vector<pid_t> out;
    for (pid_t p; in >> p;) out.push_back(p);
    return out;
}

std::uint16_t unused_port() {
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor a(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return a.local_endpoint().port();
}

// Two workers serving, then one killed. With `stop_at_once`, SIGTERM reaches
// the server as soon as the replacement exists: before its own stop handler
// is in place, which must still stop it rather than leave it serving for ever.
class worker_replaced : public testing::TestWithParam<bool> {};

TEST_P(worker_replaced, the_server_keeps_answering_and_stops) {
    const bool stop_at_once = GetParam();
    test_support::redis_child redis;
    const auto port = unused_port();
    gisd_process gisd({"--workers", "2", "--port", std::to_string(port)},
                      {{"REDIS_HOST", "127.0.0.1"}, {"REDIS_PORT", std::to_string(redis.port())}});
    ASSERT_TRUE(gisd.wait_listening()) << gisd.process().err();
    // Both serving: a worker that dies before it serves stops the server instead.
    auto listening = [&] {
        auto lines = gisd.out_lines();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("gisd: listening"); });
    };
    for (auto deadline = std::chrono::steady_clock::now() + 10s; listening() < 2 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(20ms);
    }
    const auto workers = workers_of(gisd.process().pid());
    ASSERT_EQ(workers.size(), 2u);
    // SIGKILL: a sanitizer would catch SIGSEGV and exit instead.
    ::kill(workers[0], SIGKILL);
    std::vector<pid_t> now;
    for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
        now = workers_of(gisd.process().pid());
        if (now.size() == 2 && std::find(now.begin(), now.end(), workers[0]) == now.end()) break;
        std::this_thread::sleep_for(stop_at_once ? 200us : 20ms);
    }
    EXPECT_EQ(now.size(), 2u);
    EXPECT_EQ(std::find(now.begin(), now.end(), workers[0]), now.end()) << "the dead worker is gone";
    if (!stop_at_once) {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(test_support::http_request(port, boost::beast::http::verb::get, "/gis/layers/").status, 200u);
        }
        EXPECT_NE(gisd.process().err().find("worker " + std::to_string(workers[0]) + " ended by signal " + std::to_string(SIGKILL)),
                  std::string::npos)
            << gisd.process().err();
    }
    expect_clean_exit_after_sigterm(gisd);
}

INSTANTIATE_TEST_SUITE_P(gisd, worker_replaced, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "stopped_while_it_starts" : "answering"; });

}  // namespace
