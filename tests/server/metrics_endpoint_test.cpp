// GET /metrics of the built gisd against the test database and Redis: the
// counts after tile hits and misses, 404s and plans, whichever worker
// answered each request and whichever answers the scrape.

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <nlohmann/json.hpp>

#include "helpers/plots/fixtures.hpp"
#include "support/env.hpp"
#include "support/gisd_process.hpp"
#include "support/http_client.hpp"
#include "support/prometheus.hpp"

namespace {

using namespace std::chrono_literals;
using boost::beast::http::verb;

std::uint16_t unused_port() {
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor a(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return a.local_endpoint().port();
}

double value_of(const std::map<std::string, double>& samples, const std::string& series) {
    auto it = samples.find(series);
    return it == samples.end() ? -1 : it->second;
}

TEST(metrics_endpoint, counts_every_request_once_over_all_workers) {
    struct row {
        const char* name;
        int workers;
        bool zoom;
    };
    const row table[] = {{"two workers", 2, false}, {"zoom label", 1, true}};
    for (const auto& r : table) {
        SCOPED_TRACE(r.name);
        const auto port = unused_port();
        std::vector<std::string> args{"--workers", std::to_string(r.workers), "--port", std::to_string(port), "--db-pool-size", "2"};
        if (r.zoom) args.emplace_back("--metrics-zoom");
        test_support::gisd_process gisd(args, {{"DATABASE_URL", test_support::database_url()},
                                               {"REDIS_HOST", test_support::redis_host()},
                                               {"REDIS_PORT", std::to_string(test_support::redis_port())}});
        ASSERT_TRUE(gisd.wait_listening()) << gisd.process().err();
        for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
            auto lines = gisd.out_lines();
            if (std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("gisd: listening"); }) >= r.workers) break;
            std::this_thread::sleep_for(20ms);
        }
        auto get = [&](std::string_view target) { return test_support::http_request(port, verb::get, target); };

        const auto centroid = nlohmann::json::parse(get("/gis/plots/").body);
        const std::string tile = centroid["data"]["tile_url"];
        const auto z = centroid["data"]["suggested_tile"]["z"].get<int>();
        ASSERT_EQ(test_support::http_request(port, verb::post, "/gis/cache/invalidate/plots").status, 200u);
        constexpr int tiles = 30;
        std::size_t tile_size = 0;
        for (int i = 0; i < tiles; ++i) {
            auto a = get(tile);
            ASSERT_EQ(a.status, 200u) << a.body;
            tile_size = a.body.size();
        }
        for (int i = 0; i < 4; ++i) EXPECT_EQ(get("/nowhere").status, 404u);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(get("/gis/nolayer/1/0/0.pbf").status, 404u);
        {  // refused while the head is read: no route yet, still counted
            test_support::http_client raw(port);
            raw.send_raw("POST /plans HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: xchunked\r\n\r\n");
            EXPECT_EQ(raw.read_reply().status, 400u);
        }
        const plots_test::json plan{{"parcel_data", plots_test::hundred_by_fifty()}, {"selected_parcel_number", "P1"}, {"road_data", nullptr}};
        EXPECT_EQ(test_support::http_request(port, verb::post, "/plans", plan.dump()).status, 200u);
        EXPECT_EQ(test_support::http_request(port, verb::post, "/plans", "{\"parcel_data\": [").status, 422u);

        const std::string layer = r.zoom ? "layer=\"plots\",zoom=\"" + std::to_string(z) + "\"" : "layer=\"plots\"";
        // New connections: with two workers the scrapes land on both.
        for (int scrape = 0; scrape < 6; ++scrape) {
            auto a = get("/metrics");
            ASSERT_EQ(a.status, 200u);
            std::map<std::string, double> s;
            ASSERT_NO_THROW(s = test_support::parse_exposition(a.body)) << a.body;
            const double hits = value_of(s, "gisd_tile_requests_total{" + layer + ",cache=\"memory\"}") +
                                value_of(s, "gisd_tile_requests_total{" + layer + ",cache=\"redis\"}");
            const double misses = value_of(s, "gisd_tile_requests_total{" + layer + ",cache=\"miss\"}");
            EXPECT_EQ(value_of(s, "gisd_http_requests_total{route=\"/gis/{layer_name}/{z}/{x}/{y}.pbf\",method=\"GET\",status=\"200\"}"), tiles);
            EXPECT_EQ(value_of(s, "gisd_http_requests_total{route=\"/gis/{layer_name}/{z}/{x}/{y}.pbf\",method=\"GET\",status=\"404\"}"), 3);
            EXPECT_EQ(value_of(s, "gisd_http_requests_total{route=\"unmatched\",method=\"GET\",status=\"404\"}"), 4);
            EXPECT_EQ(value_of(s, "gisd_http_requests_total{route=\"unmatched\",method=\"OTHER\",status=\"400\"}"), 1);
            EXPECT_EQ(value_of(s, "gisd_http_requests_total{route=\"/plans\",method=\"POST\",status=\"200\"}"), 1);
            EXPECT_EQ(value_of(s, "gisd_http_requests_total{route=\"/plans\",method=\"POST\",status=\"422\"}"), 1);
            EXPECT_EQ(hits + misses, tiles);
            EXPECT_GE(misses, 1);
            EXPECT_LE(misses, r.workers);
            EXPECT_EQ(value_of(s, "gisd_tile_bytes_total{" + layer + "}"), static_cast<double>(tiles * tile_size));
            EXPECT_EQ(value_of(s, "gisd_tile_statement_duration_seconds_count{" + layer + "}"), misses);
            EXPECT_EQ(value_of(s, "gisd_plan_renders_total{status=\"ok\"}"), 1);
            EXPECT_EQ(value_of(s, "gisd_plan_renders_total{status=\"invalid\"}"), 1);
            EXPECT_EQ(value_of(s, "gisd_plan_render_seconds_count"), 2);
            EXPECT_EQ(value_of(s, "gisd_http_in_flight"), 1) << "the scrape itself";
            EXPECT_EQ(value_of(s, "gisd_db_pool_connections{state=\"busy\"}"), 0);
            EXPECT_GE(value_of(s, "gisd_db_pool_connections{state=\"idle\"}"), 1);
        }
        EXPECT_EQ(gisd.stop(), std::optional<int>(0));
    }
}

}  // namespace
