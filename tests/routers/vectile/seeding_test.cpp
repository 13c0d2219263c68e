// `gisd seed` and `gisd purge` against the cadastre and a private Redis: the
// tiles of a range are the tile-range formula's, seeded tiles are hits of a
// server, a second run skips them, --force makes them again, purge removes
// exactly its range, Ctrl-C ends with the summary, bad arguments are refused.

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <regex>
#include <thread>

#include "endpoint_fixture.hpp"
#include "support/gisd_process.hpp"
#include "support/http_client.hpp"
#include "support/redis_child.hpp"

namespace {

using namespace std::chrono_literals;

// Zoom 14-15 over part of the city; west, south, east, north.
constexpr double box[4] = {7.455, 9.045, 7.485, 9.07};
const char* const box_text = "7.455,9.045,7.485,9.07";

struct range {
    int x0, x1, y0, y1;
};

// The tile-range formula, written out independently of the server's.
range tiles_at(int z) {
    const double n = std::pow(2.0, z);
    auto x = [n](double lon) { return static_cast<int>(std::floor((lon + 180) / 360 * n)); };
    auto y = [n](double lat) {
        const double r = lat * M_PI / 180;
        return static_cast<int>(std::floor((1 - std::asinh(std::tan(r)) / M_PI) / 2 * n));
    };
    return {x(box[0]), x(box[2]), y(box[3]), y(box[1])};
}

struct summary {
    long long tiles = -1, stored = -1, empty = -1, skipped = -1, failed = -1, bytes = -1;
    bool interrupted = false;
};

summary parse_summary(const std::string& out) {
    static const std::regex line(
        R"(seed: (\d+) tiles, (\d+) stored, (\d+) empty, (\d+) skipped, (\d+) failed, (\d+) bytes, [0-9.]+ s( \(interrupted\))?)");
    std::smatch m;
    summary s;
    if (!std::regex_search(out, m, line)) return s;
    s = {std::stoll(m[1]), std::stoll(m[2]), std::stoll(m[3]), std::stoll(m[4]), std::stoll(m[5]), std::stoll(m[6]), m[7].matched};
    return s;
}

class seeding : public testing::Test {
protected:
    std::map<std::string, std::optional<std::string>> env(const std::string& database_url) const {
        return {{"DATABASE_URL", database_url}, {"REDIS_HOST", "127.0.0.1"}, {"REDIS_PORT", std::to_string(redis.port())}};
    }

    // Runs a command of gisd to its end: exit status and standard output.
    std::pair<int, std::string> command(std::vector<std::string> args, const std::string& database_url = test_support::database_url()) {
        test_support::child_options o;
        o.args.push_back(test_support::gisd_path());
        for (auto& a : args) o.args.push_back(std::move(a));
        o.env = test_support::clean_gisd_env();
        for (auto& [k, v] : env(database_url)) o.env[k] = v;
        test_support::child_process p(o);
        auto status = p.wait(60s);
        if (!status || !WIFEXITED(*status)) return {-1, p.out() + p.err()};
        last_err = p.err();
        return {WEXITSTATUS(*status), p.out()};
    }

    summary seed(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"seed", "--layer", "plots", "--zoom", "14-15", "--bbox", box_text, "--concurrency", "3"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto [status, out] = command(args);
        EXPECT_EQ(status, 0) << out << last_err;
        return parse_summary(out);
    }

    long long redis_keys(const std::string& pattern) {
        boost::asio::io_context ioc;
        redis::connection r(ioc.get_executor(), {.host = "127.0.0.1", .port = redis.port()});
        std::vector<std::string_view> argv{"KEYS", pattern};
        return static_cast<long long>(test_support::run(ioc, r.command(std::move(argv))).elements.size());
    }

    test_support::redis_child redis;
    std::string last_err;
};

TEST_F(seeding, fills_exactly_the_range_which_then_hits_is_skipped_forced_and_purged) {
    long long expected = 0;
    for (int z = 14; z <= 15; ++z) {
        auto r = tiles_at(z);
        expected += static_cast<long long>(r.x1 - r.x0 + 1) * (r.y1 - r.y0 + 1);
    }
    const auto first = seed();
    EXPECT_EQ(first.tiles, expected);
    EXPECT_EQ(first.failed, 0);
    EXPECT_EQ(first.skipped, 0);
    EXPECT_EQ(first.stored + first.empty, expected);
    EXPECT_GT(first.stored, 0);
    EXPECT_GT(first.bytes, 0);
    EXPECT_EQ(redis_keys("mvt_v8:*"), first.stored);
    // An empty tile's lock tells its waiters so for a moment, then goes.
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(redis_keys("*"), first.stored) << "tile keys only: no lock is left behind";

    {
        test_support::gisd_process gisd({}, env(test_support::database_url()));
        auto port = gisd.wait_listening();
        ASSERT_TRUE(port) << gisd.process().err();
        long long hits = 0;
        for (int z = 14; z <= 15; ++z) {
            auto r = tiles_at(z);
            for (int x = r.x0; x <= r.x1; ++x) {
                for (int y = r.y0; y <= r.y1; ++y) {
                    auto reply = test_support::http_request(*port, boost::beast::http::verb::get,
                                                            "/gis/plots/" + std::to_string(z) + "/" + std::to_string(x) + "/" +
                                                                std::to_string(y) + ".pbf");
                    hits += reply.header("X-Cache") == "HIT";
                }
            }
        }
        EXPECT_EQ(hits, first.stored);
    }

    const auto second = seed();
    EXPECT_EQ(second.skipped, first.stored);
    EXPECT_EQ(second.stored, 0);
    EXPECT_EQ(second.empty, first.empty) << "empty tiles are never cached";

    const auto forced = seed({"--force"});
    EXPECT_EQ(forced.stored, first.stored);
    EXPECT_EQ(forced.skipped, 0);

    // A key of another layer in the same box, and the other zoom, stay.
    {
        boost::asio::io_context ioc;
        redis::connection r(ioc.get_executor(), {.host = "127.0.0.1", .port = redis.port()});
        test_support::run(ioc, r.set("mvt_v8:beacons:15:" + std::to_string(tiles_at(15).x0) + ":" + std::to_string(tiles_at(15).y0), "x", 600));
    }
    const long long at_15 = redis_keys("mvt_v8:plots:15:*");
    const long long at_14 = redis_keys("mvt_v8:plots:14:*");
    auto [status, out] = command({"purge", "--layer", "plots", "--zoom", "15", "--bbox", box_text});
    EXPECT_EQ(status, 0) << last_err;
    EXPECT_NE(out.find("purge: removed " + std::to_string(at_15) + " cached tiles"), std::string::npos) << out;
    EXPECT_EQ(redis_keys("mvt_v8:plots:15:*"), 0);
    EXPECT_EQ(redis_keys("mvt_v8:plots:14:*"), at_14);
    EXPECT_EQ(redis_keys("mvt_v8:beacons:*"), 1);
}

TEST_F(seeding, ctrl_c_stops_with_the_summary_so_far) {
    vtest::scratch_schema schema({"PLOT"});
    vtest::pg_connection holder(schema.conninfo());
    holder.exec("BEGIN; LOCK TABLE \"PLOT\" IN ACCESS EXCLUSIVE MODE");
    test_support::child_options o;
    o.args = {test_support::gisd_path(), "seed", "--layer", "plots", "--zoom", "14-15", "--bbox", box_text};
    o.env = test_support::clean_gisd_env();
    for (auto& [k, v] : env(schema.conninfo())) o.env[k] = v;
    test_support::child_process p(o);
    std::this_thread::sleep_for(1500ms);
    p.signal(SIGINT);
    auto status = p.wait(5s);
    ASSERT_TRUE(status) << "the command should end soon after Ctrl-C";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << p.err();
    const auto s = parse_summary(p.out());
    EXPECT_TRUE(s.interrupted) << p.out();
    EXPECT_EQ(s.stored, 0);
    holder.exec("ROLLBACK");
}

struct bad_case {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

void PrintTo(const bad_case& c, std::ostream* os) { *os << c.name; }

class seed_arguments : public testing::TestWithParam<bad_case> {};

TEST_P(seed_arguments, are_refused_with_a_message) {
    const auto& c = GetParam();
    test_support::child_options o;
    o.args.push_back(test_support::gisd_path());
    o.args.insert(o.args.end(), c.args.begin(), c.args.end());
    test_support::child_process p(o);
    auto status = p.wait(10s);
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_NE(WEXITSTATUS(*status), 0);
    EXPECT_NE((p.out() + p.err()).find(c.message), std::string::npos) << p.out() << p.err();
}

INSTANTIATE_TEST_SUITE_P(
    cases, seed_arguments,
    testing::Values(bad_case{"unknown_layer", {"seed", "--layer", "plots,roads", "--zoom", "14"}, "unknown layer 'roads'"},
                    bad_case{"zoom_order", {"seed", "--layer", "plots", "--zoom", "16-14"}, "bad zoom range '16-14'"},
                    bad_case{"zoom_text", {"seed", "--layer", "plots", "--zoom", "x"}, "bad zoom range 'x'"},
                    bad_case{"bbox_parts", {"seed", "--layer", "plots", "--zoom", "14", "--bbox", "1,2,3"}, "bad bounding box '1,2,3'"},
                    bad_case{"bbox_order", {"purge", "--layer", "plots", "--zoom", "14", "--bbox", "8,9,7,10"}, "bad bounding box '8,9,7,10'"},
                    bad_case{"purge_without_box", {"purge", "--layer", "plots", "--zoom", "14"}, "--bbox is required"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
