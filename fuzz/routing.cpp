// Any request line and headers through the application: route matching,
// query parsing, percent-decoding, parameter conversion, the admin token,
// error answers and the answer's finishing (CORS, ETag, gzip).
//
// Input: one byte choosing the method, the target up to the first newline,
// then "Name: value" header lines. The routes have the shapes of the
// server's own and answer their converted parameters, so every answer must
// be a client error or a success, never a server error.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "server/application.hpp"

namespace {

using common::param_type;

common::handler_fn echo() {
    return [](common::request_context& ctx) -> common::asio::awaitable<common::response> {
        nlohmann::ordered_json out;
        for (const char* name : {"layer"}) {
            try {
                out[name] = ctx.text(name);
            } catch (const std::out_of_range&) {
            }
        }
        for (const char* name : {"z", "x", "y", "srid", "max_features"}) {
            try {
                out[name] = ctx.integer(name);
            } catch (const std::out_of_range&) {
            }
        }
        for (const char* name : {"minx", "miny", "maxx", "maxy"}) {
            try {
                out[name] = ctx.real(name);
            } catch (const std::out_of_range&) {
            }
        }
        try {
            out["simplify"] = ctx.boolean("simplify");
        } catch (const std::out_of_range&) {
        }
        co_return common::json_response(out);
    };
}

server::application& app() {
    static server::application* a = [] {
        auto* made = new server::application("fuzz", "0");
        made->set_http_policy({.cors = true, .cors_origins = {"https://a.example"}, .conditional = true, .compression = true});
        made->set_admin_token("secret");
        common::router gis("/gis", {"GIS"});
        gis.add_api_route({.path = "/{layer}/{z}/{x}/{y}.pbf",
                           .name = "tile",
                           .params = {common::path_param("z", param_type::integer), common::path_param("x", param_type::integer),
                                      common::path_param("y", param_type::integer)},
                           .handler = echo()});
        gis.add_api_route({.path = "/{layer}/bbox/",
                           .name = "bbox",
                           .params = {common::required_query_param("minx", param_type::real),
                                      common::required_query_param("miny", param_type::real),
                                      common::required_query_param("maxx", param_type::real),
                                      common::required_query_param("maxy", param_type::real),
                                      common::query_param("srid", param_type::integer, std::int64_t{4326}),
                                      common::query_param("max_features", param_type::integer, std::int64_t{5000}),
                                      common::query_param("simplify", param_type::boolean, true)},
                           .handler = echo()});
        gis.add_api_route({.path = "/{layer}/", .name = "centroid", .handler = echo()});
        gis.add_api_route({.path = "/style.json", .name = "style", .handler = echo()});
        gis.add_api_route({.method = common::verb::post, .path = "/cache/invalidate/{layer}", .name = "invalidate", .admin = true, .handler = echo()});
        made->include_router(gis);
        return made;
    }();
    return *a;
}

constexpr common::verb methods[] = {common::verb::get, common::verb::head, common::verb::post, common::verb::options, common::verb::put};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    common::request req;
    req.method = methods[data[0] % std::size(methods)];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    auto line_end = rest.find('\n');
    req.target = std::string(rest.substr(0, line_end));
    rest = line_end == std::string_view::npos ? std::string_view() : rest.substr(line_end + 1);
    while (!rest.empty()) {
        auto end = rest.find('\n');
        auto line = rest.substr(0, end);
        if (auto colon = line.find(": "); colon != std::string_view::npos) {
            req.headers.emplace_back(std::string(line.substr(0, colon)), std::string(line.substr(colon + 2)));
        }
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }

    boost::asio::io_context ioc;
    bool answered = false;
    boost::asio::co_spawn(ioc, app().handle(req), [&](std::exception_ptr e, common::response r) {
        if (e) std::abort();  // only a cancellation may escape, and nothing cancels here
        answered = true;
        if (r.status < 200 || r.status >= 500) std::abort();
        if (r.status == 422 && !nlohmann::json::accept(r.body)) std::abort();
    });
    ioc.run();
    if (!answered) std::abort();
    return 0;
}
