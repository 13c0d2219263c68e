// The health route, driven through the host application, against a private
// Redis that is up, stopped, or replaced by a server that never answers.

#include "routers/vectile/service.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "routers/vectile/routes.hpp"
#include "server/application.hpp"
#include "support/black_hole.hpp"
#include "support/log_capture.hpp"
#include "support/redis_child.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using test_support::seconds_since;

std::string health_body(const char* cache_status) {
    return std::string(R"({"status":"healthy","cache_status":")") + cache_status +
           R"(","available_layers":["plots","beacons","cadzones","districts","lgas"],"zoom_support":"1-20 with layer-specific minimums"})";
}

class health : public testing::Test {
protected:
    // The service's routes mounted on an application, as the host does.
    common::response get_health(std::uint16_t redis_port) {
        vectile::service svc(ioc.get_executor(), vectile::redis_settings{"127.0.0.1", redis_port, 0});
        vectile::register_routes(svc);
        server::application app;
        app.include_router(svc.router);
        common::request req;
        req.target = "/gis/health/";
        return test_support::run(ioc, app.handle(req));
    }

    asio::io_context ioc;
};

TEST_F(health, redis_up_is_healthy_whether_or_not_the_probe_key_exists) {
    test_support::redis_child server;
    test_support::log_capture log;
    auto r = get_health(server.port());
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.media_type, "application/json");
    EXPECT_EQ(r.body, health_body("healthy"));

    redis::connection c(ioc.get_executor(), redis::options{.host = "127.0.0.1", .port = server.port()});
    test_support::run(ioc, c.set("mvt_v8:health_check", "anything", 60));
    EXPECT_EQ(get_health(server.port()).body, health_body("healthy"));
    EXPECT_TRUE(log.lines().empty()) << "the probe writes no log line";
}

TEST_F(health, redis_stopped_is_unhealthy_at_once) {
    test_support::redis_child server;
    server.stop();
    test_support::log_capture log;
    auto start = std::chrono::steady_clock::now();
    auto r = get_health(server.port());
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, health_body("unhealthy"));
    EXPECT_TRUE(log.lines().empty()) << "the probe writes no log line";
}

TEST_F(health, redis_never_answering_is_unhealthy_after_about_two_seconds) {
    test_support::black_hole hole;
    auto start = std::chrono::steady_clock::now();
    auto r = get_health(hole.port());
    auto elapsed = seconds_since(start);
    EXPECT_GE(elapsed, 1.5);
    EXPECT_LE(elapsed, 4.0);
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, health_body("unhealthy"));
}

TEST(health_route, is_registered_under_the_prefix_with_its_tag_and_description) {
    asio::io_context ioc;
    vectile::service svc(ioc.get_executor(), vectile::redis_settings{"127.0.0.1", 6379, 0});
    vectile::register_routes(svc);
    EXPECT_EQ(svc.router.prefix(), "/gis");
    EXPECT_EQ(svc.router.tags(), std::vector<std::string>{"GIS Tiles"});
    server::application app;
    app.include_router(svc.router);
    const auto& op = app.openapi().at("paths").at("/gis/health/").at("get");
    EXPECT_EQ(op.at("description"), "Health check endpoint for monitoring.");
    EXPECT_EQ(op.at("tags"), nlohmann::ordered_json::array({"GIS Tiles"}));
    EXPECT_EQ(op.at("operationId"), "health_check_GET");
}

}  // namespace
