// Cache invalidation: POST /gis/cache/invalidate/{layer} through the host
// application and the background workers, each test against a private
// redis-server (deleting "all" on the shared one would disturb the tests
// running next to it).

#include "routers/vectile/invalidation.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <set>
#include <thread>

#include "endpoint_fixture.hpp"
#include "support/log_capture.hpp"
#include "support/redis_child.hpp"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::ordered_json;
using test_support::log_capture;
using vtest::endpoint_test;

using key_set = std::set<std::string>;

// Keys around the plots layer's XYZ tiles that a layer invalidation must leave alone.
const key_set plots_xyz{"mvt_v8:plots:14:1:2", "mvt_v8:plots:10:3:4", "mvt_v8:plots:20:5:6"};
const key_set other_namespaced{"mvt_v8:bbox:plots:829000:1010000:834000:1015000:5000:True", "mvt_v8:centroid:plots",
                               "mvt_v8:plotsx:14:1:2", "mvt_v8:beacons:14:1:2", "mvt_v8:plots"};
const key_set outside_namespace{"mvt:plots:14:1:2", "mvt_v7:plots:14:1:2", "plots:14:1:2", "mvt_v8", "xmvt_v8:plots:1:1:1"};

key_set operator+(key_set a, const key_set& b) {
    a.insert(b.begin(), b.end());
    return a;
}

class invalidation : public endpoint_test {
protected:
    void SetUp() override { start(test_support::database_url(), vectile::redis_settings{"127.0.0.1", redis.port(), 0}); }

    void seed(const key_set& keys) {
        for (const auto& k : keys) redis_set(k, "v");
    }
    key_set all_keys() {
        std::vector<std::string_view> argv{"KEYS", "*"};
        key_set out;
        for (const auto& e : run(redis_side().command(std::move(argv))).elements) out.insert(e.str);
        return out;
    }
    std::string command(std::vector<std::string_view> argv) { return run(redis_side().command(std::move(argv))).str; }
    // The number of calls of a command since the last CONFIG RESETSTAT.
    long long calls_of(const std::string& name) {
        const std::string stats = command({"INFO", "commandstats"});
        const std::string marker = "cmdstat_" + name + ":calls=";
        auto at = stats.find(marker);
        return at == std::string::npos ? 0 : std::stoll(stats.substr(at + marker.size()));
    }
    // Turns the loop until `done()` holds; false when `limit` passes first.
    template <class Pred>
    bool turn_until(Pred done, std::chrono::steady_clock::duration limit = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            test_support::run_for(ioc, 10ms);
        }
        return true;
    }

    test_support::redis_child redis;
};

TEST_F(invalidation, layer_deletes_only_its_xyz_tiles) {
    seed(plots_xyz + other_namespaced + outside_namespace);
    log_capture log;
    auto r = post("/gis/cache/invalidate/plots");
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, R"({"success":true,"status_code":200,"message":"Cache for layer 'plots' invalidated successfully. 3 keys deleted.",)"
                      R"("data":{"layer":"plots","deleted_count":3}})");
    EXPECT_EQ(all_keys(), other_namespaced + outside_namespace);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info [vectile] Background task: Invalidated 3 cache entries for layer 'plots'"});
}

TEST_F(invalidation, all_deletes_everything_under_the_namespace_and_nothing_else) {
    seed(plots_xyz + other_namespaced + outside_namespace);
    log_capture log;
    auto r = post("/gis/cache/invalidate/all");
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, R"({"success":true,"status_code":200,"message":"All cache invalidated successfully. 8 keys deleted.",)"
                      R"("data":{"deleted_count":8}})");
    EXPECT_EQ(all_keys(), outside_namespace);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info [vectile] Background task: Invalidated ALL cache entries: 8 keys deleted"});
}

TEST_F(invalidation, unregistered_or_wrong_case_layer_is_404_and_deletes_nothing) {
    seed(plots_xyz + outside_namespace);
    command({"CONFIG", "RESETSTAT"});
    for (const char* name : {"Plots", "roads", "ALL", "plots:*"}) {
        auto r = post(std::string("/gis/cache/invalidate/") + name);
        EXPECT_EQ(r.status, 404u) << name;
        EXPECT_EQ(r.body, json({{"detail", std::string("Layer '") + name +
                                               "' not found. Valid layers: ['plots', 'beacons', 'cadzones', 'districts', 'lgas']"}})
                              .dump());
    }
    EXPECT_EQ(all_keys(), plots_xyz + outside_namespace);
    EXPECT_EQ(calls_of("scan"), 0);
}

TEST_F(invalidation, nothing_to_delete_counts_zero) {
    seed(outside_namespace);
    log_capture log;
    auto layer = post("/gis/cache/invalidate/lgas");
    EXPECT_EQ(layer.body, R"({"success":true,"status_code":200,"message":"Cache for layer 'lgas' invalidated successfully. 0 keys deleted.",)"
                          R"("data":{"layer":"lgas","deleted_count":0}})");
    auto all = post("/gis/cache/invalidate/all");
    EXPECT_EQ(all.body, R"({"success":true,"status_code":200,"message":"All cache invalidated successfully. 0 keys deleted.",)"
                        R"("data":{"deleted_count":0}})");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"info [vectile] Background task: Invalidated 0 cache entries for layer 'lgas'",
                                                     "info [vectile] Background task: Invalidated ALL cache entries: 0 keys deleted"}));
    EXPECT_EQ(all_keys(), outside_namespace);
}

struct outage_case {
    const char* layer;
    const char* body;
    const char* error_start;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const outage_case& c, std::ostream* os) { *os << c.layer; }

class invalidation_redis_down : public invalidation, public testing::WithParamInterface<outage_case> {};

TEST_P(invalidation_redis_down, answers_503_and_logs_the_failure) {
    const auto& c = GetParam();
    redis.stop();
    log_capture log;
    auto r = post(std::string("/gis/cache/invalidate/") + c.layer);
    EXPECT_EQ(r.status, 503u);
    EXPECT_EQ(r.body, c.body);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with(c.error_start)) << lines[0];
    EXPECT_GT(lines[0].size(), std::string(c.error_start).size()) << "the failure should be described";
}

INSTANTIATE_TEST_SUITE_P(
    scopes, invalidation_redis_down,
    testing::Values(outage_case{"plots", R"({"detail":"Cache unavailable: the tiles could not be invalidated"})",
                                "error [vectile] Background task failed to invalidate cache for layer 'plots': "},
                    outage_case{"all", R"({"detail":"Cache unavailable: the tiles could not be invalidated"})",
                                "error [vectile] Background task failed to invalidate all cache: "}),
    [](const testing::TestParamInfo<outage_case>& info) { return std::string(info.param.layer); });

TEST_F(invalidation, hundreds_of_keys_take_several_scan_rounds_and_one_del_each) {
    key_set lgas_tiles, others;
    for (int i = 0; i < 250; ++i) lgas_tiles.insert("mvt_v8:lgas:14:" + std::to_string(i) + ":" + std::to_string(i * 7));
    for (int i = 0; i < 20; ++i) others.insert("mvt_v8:districts:14:" + std::to_string(i) + ":0");
    seed(lgas_tiles + others);
    command({"CONFIG", "RESETSTAT"});
    auto r = post("/gis/cache/invalidate/lgas");
    EXPECT_EQ(json::parse(r.body).at("data").at("deleted_count"), 250);
    EXPECT_EQ(all_keys(), others);
    EXPECT_GE(calls_of("scan"), 3) << "COUNT 100 over 270 keys needs several rounds";
    EXPECT_EQ(calls_of("del"), 250);
}

// ------------------------------------------------------------------ background workers

struct schedule_case {
    const char* name;
    void (*schedule)(vectile::service&);
    key_set deleted;
    std::string info_line;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const schedule_case& c, std::ostream* os) { *os << c.name; }

const key_set zoom_18{"mvt_v8:plots:18:1:2", "mvt_v8:plots:18:3:4"};

class invalidation_scheduled : public invalidation, public testing::WithParamInterface<schedule_case> {};

TEST_P(invalidation_scheduled, runs_on_the_loop_after_returning_and_reports_through_its_log_line) {
    const auto& c = GetParam();
    const key_set all = plots_xyz + zoom_18 + other_namespaced + outside_namespace;
    seed(all);
    log_capture log;
    c.schedule(*svc);
    EXPECT_EQ(all_keys(), all) << "scheduling must not wait for the worker";
    ASSERT_TRUE(turn_until([&] { return !log.lines().empty(); })) << "the worker did not finish";
    EXPECT_EQ(log.lines(), std::vector<std::string>{c.info_line});
    key_set expected;
    for (const auto& k : all) {
        if (!c.deleted.count(k)) expected.insert(k);
    }
    EXPECT_EQ(all_keys(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    operations, invalidation_scheduled,
    testing::Values(
        schedule_case{"layer", [](vectile::service& s) { vectile::invalidate_layer_cache(s, "plots"); }, plots_xyz + zoom_18,
                      "info [vectile] Background task: Invalidated 5 cache entries for layer 'plots'"},
        schedule_case{"pattern", [](vectile::service& s) { vectile::invalidate_cache_by_pattern(s, "plots:18:*"); }, zoom_18,
                      "info [vectile] Background task: Invalidated 2 cache entries matching pattern 'plots:18:*'"},
        schedule_case{"pattern_star_is_all", [](vectile::service& s) { vectile::invalidate_cache_by_pattern(s, "*"); },
                      plots_xyz + zoom_18 + other_namespaced,
                      "info [vectile] Background task: Invalidated 10 cache entries matching pattern '*'"},
        schedule_case{"empty_pattern_matches_only_the_bare_prefix", [](vectile::service& s) { vectile::invalidate_cache_by_pattern(s, ""); },
                      {}, "info [vectile] Background task: Invalidated 0 cache entries matching pattern ''"},
        schedule_case{"all", [](vectile::service& s) { vectile::invalidate_all_cache(s); }, plots_xyz + zoom_18 + other_namespaced,
                      "info [vectile] Background task: Invalidated ALL cache entries: 10 keys deleted"}),
    [](const testing::TestParamInfo<schedule_case>& info) { return std::string(info.param.name); });

TEST_F(invalidation, scheduling_from_another_thread_is_refused_and_schedules_nothing) {
    seed(plots_xyz);
    bool refused = false;
    std::thread other([&] {
        try {
            vectile::invalidate_layer_cache(*svc, "plots");
        } catch (const std::logic_error&) {
            refused = true;
        }
    });
    other.join();
    EXPECT_TRUE(refused);
    test_support::run_for(ioc, 200ms);
    EXPECT_EQ(all_keys(), plots_xyz);
}

TEST_F(invalidation, pattern_with_odd_bytes_is_passed_verbatim) {
    // Spaces, quotes, printf directives and a NUL byte: none of them is a glob character.
    const std::string odd = std::string("odd key 'single' \"double\" %s %d %b") + '\0' + "after-nul";
    const std::string target = "mvt_v8:" + odd;
    const key_set near_misses{"mvt_v8:odd key 'single' \"double\" %s %d %b", "mvt_v8:odd key 'single' \"double\" (null) 0 %b",
                              std::string("mvt_v8:odd key 'single' \"double\" %s %d %b") + '\0' + "after-nux"};
    seed(near_misses + key_set{target});
    log_capture log;
    EXPECT_EQ(run(vectile::_invalidate_cache_by_pattern_task(*svc, odd)), 1);
    EXPECT_EQ(all_keys(), near_misses);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info [vectile] Background task: Invalidated 1 cache entries matching pattern '" + odd + "'"});

    // The layer worker inserts its argument verbatim as well.
    seed({"mvt_v8:" + odd + ":1:2:3"});
    EXPECT_EQ(run(vectile::_invalidate_layer_cache_task(*svc, odd)), 1);
    EXPECT_EQ(all_keys(), near_misses);
}

}  // namespace
