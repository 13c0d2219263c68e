// POST /plans through the application: what each kind of body is answered.

#include "routers/plans/plan_routes.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>

#include "fixtures.hpp"
#include "server/application.hpp"
#include "support/run.hpp"

namespace {

using plots_test::json;

std::string nested(std::size_t depth, const std::string& inside = "1") {
    return std::string(depth, '[') + inside + std::string(depth, ']');
}

TEST(plan_route, answers_each_kind_of_body) {
    plans::plan_resources resources;
    server::application app;
    app.include_router(plans::plan_router(resources));
    boost::asio::io_context ioc;

    const json good{{"parcel_data", plots_test::hundred_by_fifty()}, {"selected_parcel_number", "P1"}, {"road_data", nullptr}};
    std::string deep_roads = good.dump();
    deep_roads.replace(deep_roads.find("null"), 4, nested(50000));
    std::string deep_name = good.dump();
    deep_name.replace(deep_name.find("\"Plot 1\""), 8, nested(100));
    json no_match = good;
    no_match["selected_parcel_number"] = "P404";
    json far_corner = good;
    far_corner["parcel_data"][0]["geometry"]["coordinates"][0][1] = {1e308, 700000};
    json unknown_srid = good;
    unknown_srid["bounding_box"] = {{"minx", 0}, {"maxx", 1}, {"miny", 0}, {"maxy", 1}, {"srid", 999999}};
    json huge_value = good;
    huge_value["parcel_data"][0]["area"] = std::string(1 << 20, 'x');

    struct row {
        const char* name;
        std::string body;
        unsigned status;
        const char* part;  // of the answer's body
    };
    const row table[] = {
        {"a plan", good.dump(), 200, "\"scale\":"},
        {"malformed", "{\"parcel_data\": [", 422, "json_invalid"},
        {"nested brackets", nested(50000), 422, "deeper than 64 levels"},
        {"nested in road_data", deep_roads, 422, "json_too_deep"},
        {"nested in a name", deep_name, 422, "json_too_deep"},
        {"64 levels is the limit", nested(64), 422, "invalid_record"},
        {"no such parcel", no_match.dump(), 404, "P404"},
        {"a corner too far out to draw", far_corner.dump(), 400, "too far out to be drawn"},
        {"an srid that names nothing", unknown_srid.dump(), 400, "EPSG:999999 to EPSG:26332"},
        {"a huge value is quoted short", huge_value.dump(), 422, "characters)"},
    };
    for (const auto& r : table) {
        common::request req;
        req.method = common::verb::post;
        req.target = "/plans";
        req.body = r.body;
        auto answer = test_support::run(ioc, app.handle(req));
        EXPECT_EQ(answer.status, r.status) << r.name;
        EXPECT_NE(answer.body.find(r.part), std::string::npos) << r.name << ": " << answer.body.substr(0, 300);
        EXPECT_LT(answer.body.size(), r.status == 200 ? std::string::npos : 1000u) << r.name;
        EXPECT_EQ(answer.body.find("code "), std::string::npos) << "no library's error codes: " << answer.body.substr(0, 300);
    }
}

common::request plan_request(const json& doc) {
    common::request req;
    req.method = common::verb::post;
    req.target = "/plans";
    req.body = doc.dump();
    return req;
}

const json good_plan{{"parcel_data", plots_test::hundred_by_fifty()}, {"selected_parcel_number", "P1"}, {"road_data", nullptr}};

// Each worker's loop keeps a core of its own; what is left is shared, within bounds.
TEST(plan_route, render_threads_by_default_leave_each_loop_a_core) {
    struct row {
        unsigned cores, workers;
        std::size_t threads;
    };
    const row table[] = {{0, 1, 1}, {1, 1, 1}, {2, 1, 1}, {3, 1, 2}, {8, 1, 4}, {8, 2, 3}, {4, 4, 1}, {64, 64, 1}, {2, 0, 1}};
    for (const auto& r : table) {
        EXPECT_EQ(plans::default_render_threads(r.cores, r.workers), r.threads) << r.cores << " cores, " << r.workers << " workers";
    }
}

TEST(plan_route, admits_a_bounded_number_of_plans_and_gives_up_after_its_time) {
    // One render thread, one place in its queue, one second.
    plans::plan_resources resources({.threads = 1, .queue = 1, .timeout = std::chrono::seconds(1)});
    server::application app;
    app.include_router(plans::plan_router(resources));
    boost::asio::io_context ioc;

    // The thread is busy for two seconds: the first plan waits past its time,
    // the second finds the queue full.
    std::atomic<bool> sleeping{false};
    boost::asio::post(resources.render_pool, [&] {
        sleeping = true;
        std::this_thread::sleep_for(std::chrono::seconds(2));
    });
    while (!sleeping) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<common::response> answers(2);
    // The application borrows each request until its answer: they outlive the loop's run.
    const std::vector<common::request> requests(2, plan_request(good_plan));
    int done = 0;
    bool both = false;
    for (std::size_t i = 0; i < 2; ++i) {
        boost::asio::co_spawn(ioc, app.handle(requests[i]), [&, i](std::exception_ptr, common::response r) {
            answers[i] = std::move(r);
            both = ++done == 2;
        });
    }
    test_support::run_until(ioc, both, std::chrono::seconds(10));
    for (const auto& a : answers) {
        EXPECT_EQ(a.status, 503u) << a.body;
        auto retry = std::find_if(a.headers.begin(), a.headers.end(), [](const auto& h) { return h.first == "Retry-After"; });
        EXPECT_NE(retry, a.headers.end());
    }
    EXPECT_NE(answers[0].body.find("not drawn within 1 s"), std::string::npos) << answers[0].body;
    EXPECT_NE(answers[1].body.find("Too many plans"), std::string::npos) << answers[1].body;

    // Once the thread is free again (and the abandoned plan skipped), plans are drawn.
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         resources.in_flight() > 0 && std::chrono::steady_clock::now() < until;) {
        test_support::run_for(ioc, std::chrono::milliseconds(10));
    }
    EXPECT_EQ(resources.in_flight(), 0u);
    const auto last = plan_request(good_plan);
    EXPECT_EQ(test_support::run(ioc, app.handle(last)).status, 200u);
}

// The resources go (the server stops) while a plan is being drawn: the
// pool's end waits for the drawing, whose task still counts itself out.
TEST(plan_route, resources_destroyed_while_a_plan_is_drawn) {
    auto resources = std::make_unique<plans::plan_resources>(plans::plan_limits{.threads = 1, .queue = 2});
    server::application app;
    app.include_router(plans::plan_router(*resources));
    boost::asio::io_context ioc;
    const auto req = plan_request(good_plan);
    boost::asio::co_spawn(ioc, app.handle(req), [](std::exception_ptr, common::response) {});
    const auto counts = resources->shared;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         counts->rendering == 0 && std::chrono::steady_clock::now() < until;) {
        test_support::run_for(ioc, std::chrono::milliseconds(1));
    }
    ASSERT_EQ(counts->rendering, 1u) << "the plan is on the render thread";
    resources.reset();
    EXPECT_EQ(counts->rendering, 0u) << "the task ended before the pool did";
}

}  // namespace
