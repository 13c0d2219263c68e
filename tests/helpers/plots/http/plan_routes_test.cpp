// POST /plans through the application: what each kind of body is answered.

#include "http/plan_routes.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <string>

#include "fixtures.hpp"
#include "server/application.hpp"
#include "support/run.hpp"

namespace {

using plots_test::json;

std::string nested(std::size_t depth, const std::string& inside = "1") {
    return std::string(depth, '[') + inside + std::string(depth, ']');
}

TEST(plan_route, answers_each_kind_of_body) {
    plots::http::plan_resources resources;
    server::application app;
    app.include_router(plots::http::plan_router(resources));
    boost::asio::io_context ioc;

    const json good{{"parcel_data", plots_test::hundred_by_fifty()}, {"selected_parcel_number", "P1"}, {"road_data", nullptr}};
    std::string deep_roads = good.dump();
    deep_roads.replace(deep_roads.find("null"), 4, nested(50000));
    std::string deep_name = good.dump();
    deep_name.replace(deep_name.find("\"Plot 1\""), 8, nested(100));
    json no_match = good;
    no_match["selected_parcel_number"] = "P404";

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
    };
    for (const auto& r : table) {
        common::request req;
        req.method = common::verb::post;
        req.target = "/plans";
        req.body = r.body;
        auto answer = test_support::run(ioc, app.handle(req));
        EXPECT_EQ(answer.status, r.status) << r.name;
        EXPECT_NE(answer.body.find(r.part), std::string::npos) << r.name << ": " << answer.body.substr(0, 300);
    }
}

}  // namespace
