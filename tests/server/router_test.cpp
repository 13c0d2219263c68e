// Routing without sockets: application::handle driven on an io_context.

#include "server/application.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include <stdexcept>
#include <string>

#include "common/errors.hpp"
#include "database/pool.hpp"
#include "support/log_capture.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using common::param_type;
using common::verb;
using json = nlohmann::ordered_json;

common::response text(std::string body) { return common::response::raw(std::move(body), "text/plain"); }

// A tile-like router whose routes answer with the route they are and the
// values they received. The pattern routes are registered before the fixed
// ones, so precedence cannot come from registration order.
common::router make_gis_router() {
    common::router gis("/gis", {"GIS Tiles"});
    gis.add_api_route({
        .method = verb::get,
        .path = "/{layer_name}/{z}/{x}/{y}.pbf",
        .name = "get_tile_xyz",
        .description = "Serve vector tiles with proper zoom-out support.",
        .params = {common::path_param("z", param_type::integer), common::path_param("x", param_type::integer),
                   common::path_param("y", param_type::integer)},
        .handler = [](common::request_context& ctx) -> asio::awaitable<common::response> {
            co_return text("tile " + ctx.text("layer_name") + " " + std::to_string(ctx.integer("z")) + "/" + std::to_string(ctx.integer("x")) +
                           "/" + std::to_string(ctx.integer("y")));
        },
    });
    gis.add_api_route({
        .method = verb::get,
        .path = "/{layer_name}/",
        .name = "get_central_tile_info",
        .description = "Get layer centroid and suggested tile coordinates.",
        .handler = [](common::request_context& ctx) -> asio::awaitable<common::response> { co_return text("layer " + ctx.text("layer_name")); },
    });
    gis.add_api_route({
        .method = verb::get,
        .path = "/{layer_name}/zoom-info/",
        .name = "get_layer_zoom_info",
        .handler = [](common::request_context& ctx) -> asio::awaitable<common::response> { co_return text("zoom-info " + ctx.text("layer_name")); },
    });
    gis.add_api_route({
        .method = verb::get,
        .path = "/layers/",
        .name = "get_available_layers",
        .handler = [](common::request_context&) -> asio::awaitable<common::response> { co_return text("layers"); },
    });
    gis.add_api_route({
        .method = verb::get,
        .path = "/health/",
        .name = "health_check",
        .handler = [](common::request_context&) -> asio::awaitable<common::response> { co_return text("health"); },
    });
    gis.add_api_route({
        .method = verb::post,
        .path = "/cache/invalidate/{layer_name}",
        .name = "invalidate_cache_endpoint",
        .handler = [](common::request_context& ctx) -> asio::awaitable<common::response> { co_return text("invalidate " + ctx.text("layer_name")); },
    });
    return gis;
}

// Echoes every converted value as JSON, so that the types show in the text
// (1500.0 for a real, 1500 for an integer).
common::route make_convert_route() {
    return {
        .method = verb::get,
        .path = "/convert/{count}/{ratio}",
        .name = "convert",
        .description = "Conversion check.",
        .params = {common::path_param("count", param_type::integer, "A count"), common::path_param("ratio", param_type::real),
                   common::required_query_param("minx", param_type::real, "West edge"),
                   common::query_param("limit", param_type::integer, std::int64_t{10}, "Most features"),
                   common::query_param("scale", param_type::real, 1.5, "Scale factor"),
                   common::query_param("simplify", param_type::boolean, true, "Simplify shapes"),
                   common::query_param("label", param_type::text, std::string("none"), "A label")},
        .handler = [](common::request_context& ctx) -> asio::awaitable<common::response> {
            json body{{"count", ctx.integer("count")}, {"ratio", ctx.real("ratio")}, {"minx", ctx.real("minx")},
                      {"limit", ctx.integer("limit")}, {"scale", ctx.real("scale")}, {"simplify", ctx.boolean("simplify")},
                      {"label", ctx.text("label")}};
            co_return common::json_response(body);
        },
    };
}

// Fails with the error that its path names: one of each class the host renders.
common::route make_failing_route() {
    return {
        .method = verb::get,
        .path = "/fail/{kind}",
        .name = "fail",
        .handler = [](common::request_context& ctx) -> asio::awaitable<common::response> {
            const auto& kind = ctx.text("kind");
            if (kind == "not_found") throw common::not_found("Layer 'x' not found");
            if (kind.starts_with("name:")) throw common::not_found("Layer '" + kind.substr(5) + "' not found");
            if (kind == "bad_request") throw common::bad_request("Invalid longitude values");
            if (kind == "timed_out") throw common::timed_out("Query timeout");
            if (kind == "internal_error") throw common::internal_error("Database error");
            if (kind == "unavailable") throw common::unavailable("Cache unavailable");
            if (kind == "pool_timeout") throw database::pool_timeout();
            if (kind == "validation") throw common::validation_error({{{"query", "minx"}, "bad box", "value_error"}});
            if (kind == "runtime") throw std::runtime_error("boom");
            if (kind == "not_an_exception") throw 42;
            if (kind == "cancelled") throw boost::system::system_error(asio::error::operation_aborted);
            co_return text("ok");
        },
    };
}

const std::string tile_bytes = std::string("\x1a\x00\xff\x80\n\r", 6) + "tile";

class application_test : public testing::Test {
protected:
    application_test() {
        app.include_router(make_gis_router());
        app.add_route(make_convert_route());
        app.add_route(make_failing_route());
        app.add_route({
            .method = verb::get,
            .path = "/raw",
            .name = "raw",
            .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                co_return common::response::raw(tile_bytes, "application/vnd.mapbox-vector-tile",
                                              {{"X-Cache", "HIT"}, {"Cache-Control", "public, max-age=1800"}}, 200);
            },
        });
        app.add_route({
            .method = verb::get,
            .path = "/empty",
            .name = "empty",
            .handler = [](common::request_context&) -> asio::awaitable<common::response> { co_return common::response::empty(204); },
        });
        app.add_route({
            .method = verb::post,
            .path = "/upload",
            .name = "upload",
            .body_limit = 16,
            .handler = [](common::request_context& ctx) -> asio::awaitable<common::response> { co_return text(ctx.req().body); },
        });
        app.add_route({
            .method = verb::get,
            .path = "/needs-db",
            .name = "needs_db",
            .uses_db = true,
            .handler = [](common::request_context&) -> asio::awaitable<common::response> { co_return text("db"); },
        });
    }

    common::response call(verb method, std::string target, std::string body = {}) {
        common::request req;
        req.method = method;
        req.target = std::move(target);
        req.body = std::move(body);
        return test_support::run(ioc, app.handle(req));
    }

    asio::io_context ioc;
    server::application app{"Test API", "9.9.9"};
};

// ------------------------------------------------------------------ matching

struct match_case {
    verb method;
    const char* target;
    unsigned status;
    const char* body;
};

void PrintTo(const match_case& c, std::ostream* os) { *os << boost::beast::http::to_string(c.method) << " " << c.target; }

class routing : public application_test, public testing::WithParamInterface<match_case> {};

TEST_P(routing, picks_the_expected_route) {
    const auto& c = GetParam();
    auto r = call(c.method, c.target);
    EXPECT_EQ(r.status, c.status) << c.target;
    EXPECT_EQ(r.body, c.body) << c.target;
}

constexpr const char* not_found = R"({"detail":"Not Found"})";
constexpr const char* not_allowed = R"({"detail":"Method Not Allowed"})";

INSTANTIATE_TEST_SUITE_P(
    precedence_and_exact_paths, routing,
    testing::Values(
        // Fixed segments beat parameter segments, whatever the registration order.
        match_case{verb::get, "/gis/layers/", 200, "layers"}, match_case{verb::get, "/gis/health/", 200, "health"},
        match_case{verb::get, "/gis/plots/", 200, "layer plots"},
        match_case{verb::get, "/gis/plots/zoom-info/", 200, "zoom-info plots"},
        match_case{verb::get, "/gis/layers/zoom-info/", 200, "zoom-info layers"},
        match_case{verb::get, "/gis/plots/14/8512/7890.pbf", 200, "tile plots 14/8512/7890"},
        // Layer names are matched exactly; the router does not judge them.
        match_case{verb::get, "/gis/Plots/", 200, "layer Plots"},
        match_case{verb::get, "/gis/pl%6Fts/", 200, "layer plots"},
        match_case{verb::get, "/gis/plots/?minx=1", 200, "layer plots"},
        match_case{verb::post, "/gis/cache/invalidate/beacons", 200, "invalidate beacons"},
        // A GET route answers HEAD as well (the server drops the body).
        match_case{verb::head, "/gis/layers/", 200, "layers"},
        // No ".pbf", no trailing slash, an extra slash, an empty segment: no route.
        match_case{verb::get, "/gis/plots/14/8512/7890", 404, not_found},
        match_case{verb::get, "/gis/plots/14/8512/.pbf", 404, not_found},
        match_case{verb::get, "/gis/plots/14/8512/7890.pbf/", 404, not_found},
        match_case{verb::get, "/gis/layers", 404, not_found}, match_case{verb::get, "/gis/plots", 404, not_found},
        match_case{verb::get, "/gis/plots//", 404, not_found}, match_case{verb::get, "/gis//", 404, not_found},
        match_case{verb::get, "/gis/plots/zoom-info", 404, not_found}, match_case{verb::get, "/GIS/layers/", 404, not_found},
        match_case{verb::get, "/", 404, not_found}, match_case{verb::get, "/gis/cache/invalidate/plots/", 404, not_found},
        // A known path with another method.
        match_case{verb::post, "/gis/layers/", 405, not_allowed}, match_case{verb::delete_, "/gis/plots/", 405, not_allowed},
        match_case{verb::get, "/gis/cache/invalidate/plots", 405, not_allowed}));

// ------------------------------------------------------------------ typed parameters

struct conversion_case {
    const char* name;
    const char* target;
    unsigned status;
    const char* body;
};

// Names the case in test listings.
void PrintTo(const conversion_case& c, std::ostream* os) { *os << c.name; }

class conversion : public application_test, public testing::WithParamInterface<conversion_case> {};

TEST_P(conversion, converts_or_rejects_with_422) {
    const auto& c = GetParam();
    auto r = call(verb::get, c.target);
    EXPECT_EQ(r.status, c.status) << c.target;
    EXPECT_EQ(r.body, c.body) << c.target;
    EXPECT_EQ(r.media_type, "application/json");
}

#define DEFAULTS R"("limit":10,"scale":1.5,"simplify":true,"label":"none")"
#define ISSUE(in, name, msg, type) R"({"loc":[")" in R"(",")" name R"("],"msg":")" msg R"(","type":")" type R"("})"
#define NOT_INT "Input should be a valid integer, unable to parse string as an integer"
#define NOT_REAL "Input should be a valid number, unable to parse string as a number"
#define NOT_FINITE "Input should be a finite number"
#define NOT_BOOL "Input should be a valid boolean, unable to interpret input"

INSTANTIATE_TEST_SUITE_P(
    typed_values, conversion,
    testing::Values(
        conversion_case{"defaults", "/convert/3/0.5?minx=1", 200, R"({"count":3,"ratio":0.5,"minx":1.0,)" DEFAULTS "}"},
        conversion_case{"given", "/convert/-3/2?minx=1.5e3&limit=%2B7&scale=-0.25&simplify=False&label=a%20b+c", 200,
                        R"({"count":-3,"ratio":2.0,"minx":1500.0,"limit":7,"scale":-0.25,"simplify":false,"label":"a b c"})"},
        conversion_case{"empty_text", "/convert/3/1?minx=1&label=", 200,
                        R"({"count":3,"ratio":1.0,"minx":1.0,"limit":10,"scale":1.5,"simplify":true,"label":""})"},
        conversion_case{"last_repeat_wins", "/convert/3/1?minx=1&minx=2", 200, R"({"count":3,"ratio":1.0,"minx":2.0,)" DEFAULTS "}"},
        conversion_case{"bool_yes", "/convert/3/1?minx=1&simplify=YES", 200, R"({"count":3,"ratio":1.0,"minx":1.0,"limit":10,"scale":1.5,"simplify":true,"label":"none"})"},
        conversion_case{"bool_zero", "/convert/3/1?minx=1&simplify=0", 200, R"({"count":3,"ratio":1.0,"minx":1.0,"limit":10,"scale":1.5,"simplify":false,"label":"none"})"},
        conversion_case{"missing_required", "/convert/3/1", 422, R"({"detail":[)" ISSUE("query", "minx", "Field required", "missing") "]}"},
        conversion_case{"nan", "/convert/3/1?minx=nan", 422, R"({"detail":[)" ISSUE("query", "minx", NOT_FINITE, "finite_number") "]}"},
        conversion_case{"NaN", "/convert/3/1?minx=NaN", 422, R"({"detail":[)" ISSUE("query", "minx", NOT_FINITE, "finite_number") "]}"},
        conversion_case{"inf", "/convert/3/1?minx=inf", 422, R"({"detail":[)" ISSUE("query", "minx", NOT_FINITE, "finite_number") "]}"},
        conversion_case{"minus_infinity", "/convert/3/1?minx=-infinity", 422, R"({"detail":[)" ISSUE("query", "minx", NOT_FINITE, "finite_number") "]}"},
        conversion_case{"path_nan", "/convert/3/nan?minx=1", 422, R"({"detail":[)" ISSUE("path", "ratio", NOT_FINITE, "finite_number") "]}"},
        conversion_case{"not_a_real", "/convert/3/1?minx=abc", 422, R"({"detail":[)" ISSUE("query", "minx", NOT_REAL, "float_parsing") "]}"},
        conversion_case{"empty_real", "/convert/3/1?minx=", 422, R"({"detail":[)" ISSUE("query", "minx", NOT_REAL, "float_parsing") "]}"},
        conversion_case{"trailing_garbage", "/convert/3/1?minx=1&limit=12abc", 422, R"({"detail":[)" ISSUE("query", "limit", NOT_INT, "int_parsing") "]}"},
        conversion_case{"real_for_integer", "/convert/3/1?minx=1&limit=1.5", 422, R"({"detail":[)" ISSUE("query", "limit", NOT_INT, "int_parsing") "]}"},
        conversion_case{"integer_overflow", "/convert/3/1?minx=1&limit=99999999999999999999", 422,
                        R"({"detail":[)" ISSUE("query", "limit", NOT_INT, "int_parsing") "]}"},
        conversion_case{"not_a_bool", "/convert/3/1?minx=1&simplify=maybe", 422, R"({"detail":[)" ISSUE("query", "simplify", NOT_BOOL, "bool_parsing") "]}"},
        conversion_case{"path_integer", "/convert/x/1?minx=1", 422, R"({"detail":[)" ISSUE("path", "count", NOT_INT, "int_parsing") "]}"},
        // Every failure is reported, in declaration order (path parameters first).
        conversion_case{"several", "/convert/x/1?limit=y&simplify=z", 422,
                        R"({"detail":[)" ISSUE("path", "count", NOT_INT, "int_parsing") "," ISSUE("query", "minx", "Field required", "missing") "," ISSUE(
                            "query", "limit", NOT_INT, "int_parsing") "," ISSUE("query", "simplify", NOT_BOOL, "bool_parsing") "]}"},
        conversion_case{"tile_path", "/gis/plots/abc/1/2.pbf", 422, R"({"detail":[)" ISSUE("path", "z", NOT_INT, "int_parsing") "]}"},
        conversion_case{"tile_y_suffix_kept_apart", "/gis/plots/1/2/3x.pbf", 422, R"({"detail":[)" ISSUE("path", "y", NOT_INT, "int_parsing") "]}"}),
    [](const testing::TestParamInfo<conversion_case>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ errors raised by handlers

struct failure_case {
    const char* kind;
    unsigned status;
    const char* body;
};

void PrintTo(const failure_case& c, std::ostream* os) { *os << c.kind; }

class handler_failures : public application_test, public testing::WithParamInterface<failure_case> {};

TEST_P(handler_failures, are_rendered_by_the_host) {
    const auto& c = GetParam();
    auto r = call(verb::get, std::string("/fail/") + c.kind);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.body);
    EXPECT_EQ(r.media_type, "application/json");
}

INSTANTIATE_TEST_SUITE_P(
    kinds, handler_failures,
    testing::Values(failure_case{"not_found", 404, R"({"detail":"Layer 'x' not found"})"},
                    failure_case{"bad_request", 400, R"({"detail":"Invalid longitude values"})"},
                    failure_case{"timed_out", 408, R"({"detail":"Query timeout"})"},
                    failure_case{"internal_error", 500, R"({"detail":"Database error"})"},
                    failure_case{"unavailable", 503, R"({"detail":"Cache unavailable"})"},
                    failure_case{"pool_timeout", 503, R"({"detail":"Database unavailable: no free connection"})"},
                    failure_case{"validation", 422, R"({"detail":[{"loc":["query","minx"],"msg":"bad box","type":"value_error"}]})"},
                    failure_case{"runtime", 500, R"({"detail":"Internal Server Error"})"},
                    failure_case{"not_an_exception", 500, R"({"detail":"Internal Server Error"})"}));

TEST_F(application_test, unexpected_failure_is_logged_once_with_its_message) {
    test_support::log_capture log;
    auto r = call(verb::get, "/fail/runtime");
    EXPECT_EQ(r.status, 500u);
    auto errors = log.lines_starting("error ");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("GET /fail/runtime: boom"), std::string::npos) << errors[0];
}

TEST_F(application_test, cancellation_is_passed_on_not_answered) {
    test_support::log_capture log;
    try {
        call(verb::get, "/fail/cancelled");
        FAIL() << "a cancelled handler must not produce an answer";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), asio::error::operation_aborted);
    }
    EXPECT_TRUE(log.lines_starting("error ").empty());
}

TEST_F(application_test, a_name_that_is_not_utf8_is_shown_with_replacement_characters) {
    struct row {
        const char* target;
        const char* detail;
    };
    const row table[] = {{"/fail/name:%FF", "Layer '\xEF\xBF\xBD' not found"},
                         {"/fail/name:a%C3%28b", "Layer 'a\xEF\xBF\xBD(b' not found"},
                         {"/fail/name:%C0%AF", "Layer '\xEF\xBF\xBD\xEF\xBF\xBD' not found"},
                         {"/fail/name:\xFF", "Layer '\xEF\xBF\xBD' not found"}};
    for (const auto& r : table) {
        auto a = call(verb::get, r.target);
        EXPECT_EQ(a.status, 404u) << r.target;
        EXPECT_EQ(a.body, json({{"detail", r.detail}}).dump()) << r.target;
    }
}

TEST(admin_routes, need_the_token_when_one_is_set) {
    struct row {
        const char* token;                         // set on the application; empty: none
        std::optional<std::string> authorization;  // sent
        unsigned status;
    };
    const row table[] = {{"", std::nullopt, 200},           {"s3cret", std::nullopt, 401},        {"s3cret", "Bearer s3cret", 200},
                         {"s3cret", "bearer s3cret", 200},  {"s3cret", "Bearer s3cre", 401},      {"s3cret", "Bearer s3cret2", 401},
                         {"s3cret", "Basic s3cret", 401},   {"s3cret", "Bearer ", 401}};
    asio::io_context ioc;
    for (const auto& r : table) {
        server::application app;
        app.set_admin_token(r.token);
        app.add_route({.method = verb::post, .path = "/purge", .name = "purge", .admin = true,
                       .handler = [](common::request_context&) -> asio::awaitable<common::response> { co_return text("purged"); }});
        common::request req;
        req.method = verb::post;
        req.target = "/purge";
        if (r.authorization) req.headers.emplace_back("Authorization", *r.authorization);
        auto a = test_support::run(ioc, app.handle(req));
        EXPECT_EQ(a.status, r.status) << r.token << " / " << r.authorization.value_or("(none)");
        if (r.status == 401) {
            EXPECT_EQ(a.body, R"({"detail":"Not authenticated"})");
            EXPECT_EQ(a.headers, (std::vector<std::pair<std::string, std::string>>{{"WWW-Authenticate", "Bearer"}}));
        }
    }
}

TEST_F(application_test, route_needing_a_session_without_a_database_is_503) {
    auto r = call(verb::get, "/needs-db");
    EXPECT_EQ(r.status, 503u);
    EXPECT_EQ(r.body, R"({"detail":"Database is not configured"})");
}

// ------------------------------------------------------------------ responses passed through

TEST_F(application_test, raw_response_passes_bytes_media_type_and_headers_unchanged) {
    auto r = call(verb::get, "/raw");
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, tile_bytes);
    EXPECT_EQ(r.media_type, "application/vnd.mapbox-vector-tile");
    std::vector<std::pair<std::string, std::string>> expected{{"X-Cache", "HIT"}, {"Cache-Control", "public, max-age=1800"}};
    EXPECT_EQ(r.headers, expected);
}

TEST_F(application_test, no_content_answer_has_no_body_and_no_media_type) {
    auto r = call(verb::get, "/empty");
    EXPECT_EQ(r.status, 204u);
    EXPECT_TRUE(r.body.empty());
    EXPECT_TRUE(r.media_type.empty());
}

TEST_F(application_test, request_body_reaches_the_handler_and_body_limit_is_per_route) {
    auto r = call(verb::post, "/upload", std::string("a\0b", 3));
    EXPECT_EQ(r.body, std::string("a\0b", 3));
    EXPECT_EQ(app.body_limit(verb::post, "/upload?x=1"), 16u);
    EXPECT_EQ(app.body_limit(verb::post, "/nowhere"), 1024u * 1024u);
    EXPECT_EQ(app.body_limit(verb::get, "/upload"), 1024u * 1024u);
}

// ------------------------------------------------------------------ the API document

TEST_F(application_test, openapi_lists_paths_methods_parameters_descriptions_and_tags) {
    const auto& doc = app.openapi();
    EXPECT_EQ(doc["openapi"], "3.1.0");
    EXPECT_EQ(doc["info"], json({{"title", "Test API"}, {"version", "9.9.9"}}));
    const auto& paths = doc["paths"];
    for (const char* p : {"/openapi.json", "/gis/{layer_name}/{z}/{x}/{y}.pbf", "/gis/{layer_name}/", "/gis/{layer_name}/zoom-info/",
                          "/gis/layers/", "/gis/health/", "/gis/cache/invalidate/{layer_name}", "/convert/{count}/{ratio}"}) {
        EXPECT_TRUE(paths.contains(p)) << p;
    }

    const auto& tile = paths.at("/gis/{layer_name}/{z}/{x}/{y}.pbf");
    ASSERT_TRUE(tile.contains("get"));
    EXPECT_FALSE(tile.contains("post"));
    EXPECT_EQ(tile["get"]["tags"], json::array({"GIS Tiles"}));
    EXPECT_EQ(tile["get"]["description"], "Serve vector tiles with proper zoom-out support.");
    EXPECT_EQ(tile["get"]["operationId"], "get_tile_xyz_GET");
    const auto& tile_params = tile["get"]["parameters"];
    ASSERT_EQ(tile_params.size(), 4u);
    const char* names[] = {"layer_name", "z", "x", "y"};
    const char* types[] = {"string", "integer", "integer", "integer"};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(tile_params[i]["name"], names[i]);
        EXPECT_EQ(tile_params[i]["in"], "path");
        EXPECT_EQ(tile_params[i]["required"], true);
        EXPECT_EQ(tile_params[i]["schema"]["type"], types[i]);
    }

    const auto& invalidate = paths.at("/gis/cache/invalidate/{layer_name}");
    EXPECT_TRUE(invalidate.contains("post"));
    EXPECT_FALSE(invalidate.contains("get"));

    // Host routes carry no tags; query parameters show type, default and description.
    const auto& convert = paths.at("/convert/{count}/{ratio}")["get"];
    EXPECT_FALSE(convert.contains("tags"));
    EXPECT_EQ(convert["description"], "Conversion check.");
    json by_name = json::object();
    for (const auto& p : convert["parameters"]) by_name[p["name"].get<std::string>()] = p;
    ASSERT_EQ(by_name.size(), 7u);
    EXPECT_EQ(by_name["count"]["description"], "A count");
    EXPECT_EQ(by_name["ratio"]["schema"]["type"], "number");
    EXPECT_EQ(by_name["minx"], json({{"name", "minx"}, {"in", "query"}, {"required", true},
                                     {"schema", {{"type", "number"}, {"title", "Minx"}}}, {"description", "West edge"}}));
    EXPECT_EQ(by_name["limit"]["required"], false);
    EXPECT_EQ(by_name["limit"]["schema"], json({{"type", "integer"}, {"title", "Limit"}, {"default", 10}}));
    EXPECT_EQ(by_name["limit"]["description"], "Most features");
    EXPECT_EQ(by_name["scale"]["schema"]["default"], 1.5);
    EXPECT_EQ(by_name["simplify"]["schema"], json({{"type", "boolean"}, {"title", "Simplify"}, {"default", true}}));
    EXPECT_EQ(by_name["label"]["schema"]["default"], "none");
    EXPECT_TRUE(convert["responses"].contains("422"));
}

TEST_F(application_test, openapi_document_is_served_and_follows_later_registrations) {
    auto before = call(verb::get, "/openapi.json");
    EXPECT_EQ(before.status, 200u);
    EXPECT_EQ(json::parse(before.body), app.openapi());
    EXPECT_FALSE(json::parse(before.body)["paths"].contains("/late"));

    app.add_route({.method = verb::put, .path = "/late", .name = "late",
                   .handler = [](common::request_context&) -> asio::awaitable<common::response> { co_return text("late"); }});
    auto after = json::parse(call(verb::get, "/openapi.json").body);
    ASSERT_TRUE(after["paths"].contains("/late"));
    EXPECT_TRUE(after["paths"]["/late"].contains("put"));
}

}  // namespace
