// The shared counters: what recording shows in the exposition, summed over
// processes that fork after enable(), and the exposition's form.

#include "metrics/metrics.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/prometheus.hpp"

namespace {

using namespace std::chrono_literals;

TEST(metrics, recordings_of_every_process_show_in_one_parsable_exposition) {
    metrics::enable({.version = "9.8.7"});
    const auto tile = metrics::add_route("/gis/{layer}/{z}/{x}/{y}.pbf");
    EXPECT_EQ(metrics::add_route("/gis/{layer}/{z}/{x}/{y}.pbf"), tile) << "a pattern is registered once";
    const auto plans = metrics::add_route("/plans");
    metrics::add_layer("plots");
    metrics::add_layer("LGAs");

    // Two children record as workers would; the parent records too.
    auto record = [&] {
        metrics::count_request(tile, metrics::method::get, 200, 3ms);
        metrics::count_request(metrics::unmatched_route, metrics::method::get, 404, 20us);
        metrics::count_tile("plots", 14, metrics::tile_source::memory, 100);
        metrics::count_tile("plots", 15, metrics::tile_source::miss, 50);
        metrics::count_tile("nowhere", 15, metrics::tile_source::miss, 50);  // not registered: not counted
        metrics::observe_tile_statement("LGAs", 8, 40ms, false);
        metrics::observe_tile_statement("LGAs", 9, 12s, true);
        metrics::count_redis_error("GET");
        metrics::count_redis_error("EVAL");
        metrics::count_db_error();
        metrics::count_plan(metrics::plan_status::refused);
    };
    for (int slot = 1; slot <= 2; ++slot) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            metrics::enter_worker(slot);
            record();
            metrics::set_pool(2, slot);
            metrics::add_in_flight(1);
            std::_Exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    record();
    metrics::count_request(plans, metrics::method::post, 503, 1s);
    metrics::clear_worker(2);  // the second worker has ended: its gauges go

    const auto text = metrics::exposition();
    std::map<std::string, double> samples;
    ASSERT_NO_THROW(samples = test_support::parse_exposition(text)) << text;
    struct row {
        const char* series;
        double value;
    };
    const row table[] = {
        {"gisd_build_info{version=\"9.8.7\"}", 1},
        {"gisd_http_requests_total{route=\"/gis/{layer}/{z}/{x}/{y}.pbf\",method=\"GET\",status=\"200\"}", 3},
        {"gisd_http_requests_total{route=\"unmatched\",method=\"GET\",status=\"404\"}", 3},
        {"gisd_http_requests_total{route=\"/plans\",method=\"POST\",status=\"503\"}", 1},
        {"gisd_http_request_duration_seconds_bucket{route=\"/gis/{layer}/{z}/{x}/{y}.pbf\",le=\"0.0025\"}", 0},
        {"gisd_http_request_duration_seconds_bucket{route=\"/gis/{layer}/{z}/{x}/{y}.pbf\",le=\"0.005\"}", 3},
        {"gisd_http_request_duration_seconds_count{route=\"/plans\"}", 1},
        {"gisd_http_request_duration_seconds_sum{route=\"/plans\"}", 1},
        {"gisd_tile_requests_total{layer=\"plots\",cache=\"memory\"}", 3},
        {"gisd_tile_requests_total{layer=\"plots\",cache=\"redis\"}", 0},
        {"gisd_tile_requests_total{layer=\"plots\",cache=\"miss\"}", 3},
        {"gisd_tile_bytes_total{layer=\"plots\"}", 450},
        {"gisd_tile_statement_duration_seconds_bucket{layer=\"LGAs\",le=\"0.05\"}", 3},
        {"gisd_tile_statement_duration_seconds_bucket{layer=\"LGAs\",le=\"10\"}", 3},
        {"gisd_tile_statement_duration_seconds_bucket{layer=\"LGAs\",le=\"+Inf\"}", 6},
        {"gisd_tile_statement_timeouts_total{layer=\"LGAs\"}", 3},
        {"gisd_tile_statement_timeouts_total{layer=\"plots\"}", 0},
        {"gisd_redis_errors_total{op=\"get\"}", 3},
        {"gisd_redis_errors_total{op=\"other\"}", 3},
        {"gisd_db_errors_total", 3},
        {"gisd_plan_renders_total{status=\"refused\"}", 3},
        {"gisd_plan_renders_total{status=\"ok\"}", 0},
        {"gisd_db_pool_connections{state=\"idle\"}", 2},
        {"gisd_db_pool_connections{state=\"busy\"}", 1},
        {"gisd_http_in_flight", 1},
        {"gisd_plan_queue_depth", 0},
    };
    for (const auto& r : table) {
        auto it = samples.find(r.series);
        ASSERT_NE(it, samples.end()) << r.series << "\n" << text;
        EXPECT_DOUBLE_EQ(it->second, r.value) << r.series;
    }
    EXPECT_EQ(text.find("zoom="), std::string::npos) << "no zoom label unless asked for";
    EXPECT_EQ(text.find("nowhere"), std::string::npos);
}

TEST(metrics, the_format_check_refuses_what_a_scraper_would) {
    const char* bad[] = {
        "gisd_x 1\n",                                                       // no TYPE
        "# TYPE gisd_x counter\ngisd_x{a=\"b} 1\n",                         // unterminated label
        "# TYPE gisd_x counter\ngisd_x 1",                                  // no line end
        "# TYPE gisd_h histogram\ngisd_h_bucket{le=\"1\"} 2\ngisd_h_bucket{le=\"+Inf\"} 1\ngisd_h_count 1\n",
        "# TYPE gisd_h histogram\ngisd_h_bucket{le=\"+Inf\"} 2\ngisd_h_count 3\n",
    };
    for (const char* text : bad) EXPECT_THROW(test_support::parse_exposition(text), std::runtime_error) << text;
}

}  // namespace
