#pragma once
// Routing: routers with a prefix and tags are mounted on the application,
// which matches a request to one route, converts its typed parameters and
// calls the handler. A pure function from request to response: no sockets.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/verb.hpp>
#include <nlohmann/json.hpp>

#include "server/errors.hpp"
#include "server/request.hpp"

namespace database {
class session;
}

namespace host {

namespace asio = boost::asio;
using verb = boost::beast::http::verb;

enum class param_type { integer, real, boolean, text };
enum class param_location { path, query };

using param_value = std::variant<std::int64_t, double, bool, std::string>;

struct param_spec {
    std::string name;
    param_location in = param_location::query;
    param_type type = param_type::text;
    bool required = true;
    std::optional<param_value> default_value;  // only for optional query parameters
    std::string description;
};

// Shorthands for declaring parameters.
param_spec path_param(std::string name, param_type type, std::string description = {});
param_spec required_query_param(std::string name, param_type type, std::string description = {});
param_spec query_param(std::string name, param_type type, param_value default_value, std::string description = {});

// What a handler sees: its converted parameters and, when the route asked for
// one, a database session that the host created for this request.
class request_context {
public:
    request_context(const request& req, std::map<std::string, param_value> params, database::session* db)
        : m_request(req), m_params(std::move(params)), m_db(db) {}

    const request& req() const noexcept { return m_request; }
    std::int64_t integer(const std::string& name) const { return std::get<std::int64_t>(m_params.at(name)); }
    double real(const std::string& name) const { return std::get<double>(m_params.at(name)); }
    bool boolean(const std::string& name) const { return std::get<bool>(m_params.at(name)); }
    const std::string& text(const std::string& name) const { return std::get<std::string>(m_params.at(name)); }
    // The request's session; only valid on routes registered with uses_db.
    database::session& db() const;

private:
    const request& m_request;
    std::map<std::string, param_value> m_params;
    database::session* m_db;
};

using handler_fn = std::function<asio::awaitable<response>(request_context&)>;

struct route {
    verb method = verb::get;
    std::string path;  // relative to the router's prefix; "{name}" segments, also "{name}.pbf"
    std::string name;  // operation name, e.g. "get_tile_xyz"
    std::string description;
    std::vector<param_spec> params;  // path parameters not listed here are text
    bool uses_db = false;
    std::size_t body_limit = 1024 * 1024;  // bytes; larger bodies are answered 413
    handler_fn handler;
};

class router {
public:
    router(std::string prefix, std::vector<std::string> tags) : m_prefix(std::move(prefix)), m_tags(std::move(tags)) {}

    void add_api_route(route r) { m_routes.push_back(std::move(r)); }
    const std::string& prefix() const noexcept { return m_prefix; }
    const std::vector<std::string>& tags() const noexcept { return m_tags; }
    const std::vector<route>& routes() const noexcept { return m_routes; }

private:
    std::string m_prefix;
    std::vector<std::string> m_tags;
    std::vector<route> m_routes;
};

using session_factory = std::function<std::unique_ptr<database::session>()>;

// The result of matching a request target against the routing table.
struct match_result;

class application {
public:
    explicit application(std::string title = "GIS API", std::string version = "1.0.0");
    ~application();
    application(const application&) = delete;
    application& operator=(const application&) = delete;

    // Mounts every route of `r` under its prefix, with its tags.
    void include_router(const router& r);
    // Adds one route of the host itself (no prefix, no tags).
    void add_route(route r, std::vector<std::string> tags = {});
    // Where `get_db` sessions come from.
    void set_session_factory(session_factory f) { m_sessions = std::move(f); }

    // The largest body the route for this method and target accepts (1 MiB when none matches).
    std::size_t body_limit(verb method, std::string_view target) const;

    // Answers one request. Never throws: errors become their HTTP answers.
    asio::awaitable<response> handle(const request& req) const;

    // The OpenAPI 3 document generated from the registrations.
    const nlohmann::ordered_json& openapi() const;

private:
    struct compiled_route;
    const compiled_route* find(verb method, std::string_view path, std::vector<std::string>& segments, bool& path_known) const;
    nlohmann::ordered_json build_openapi() const;

    std::string m_title;
    std::string m_version;
    std::vector<std::unique_ptr<compiled_route>> m_routes;
    session_factory m_sessions;
    mutable std::optional<nlohmann::ordered_json> m_openapi;
};

// A JSON answer.
response json_response(const nlohmann::ordered_json& body, unsigned status = 200);

}  // namespace host
