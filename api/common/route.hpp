#pragma once
// What a module declares to be served: routes with typed parameters, grouped
// in routers with a prefix and tags. The server mounts routers, matches
// requests to routes, converts parameters and calls the handlers.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/verb.hpp>

#include "common/response.hpp"

namespace database {
class session;
}

namespace common {

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
// one, a database session that the server created for this request and
// closes after the handler.
class request_context {
public:
    request_context(request& req, std::map<std::string, param_value> params, database::session* db)
        : m_request(req), m_params(std::move(params)), m_db(db) {}

    const request& req() const noexcept { return m_request; }
    // The body, moved out of the request: a handler that hands a large body to
    // another thread takes it instead of copying megabytes on the loop.
    std::string take_body() noexcept { return std::move(m_request.body); }
    // The converted parameter; the route's declaration fixes its type, so a
    // wrong name or type is a programming error (std::out_of_range, std::bad_variant_access).
    std::int64_t integer(const std::string& name) const { return std::get<std::int64_t>(m_params.at(name)); }
    double real(const std::string& name) const { return std::get<double>(m_params.at(name)); }
    bool boolean(const std::string& name) const { return std::get<bool>(m_params.at(name)); }
    const std::string& text(const std::string& name) const { return std::get<std::string>(m_params.at(name)); }
    // The request's session; throws std::logic_error on a route registered without uses_db.
    database::session& db() const;

private:
    request& m_request;
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
    bool admin = false;  // changes what every client sees: needs the admin token when one is set
    std::size_t body_limit = 1024 * 1024;  // bytes; larger bodies are answered 413
    handler_fn handler;
    // Asked before a body is read: throws (common::unavailable, ...) to refuse
    // the request at once, so that an overloaded route does not take in bodies
    // it cannot serve. What it returns holds the capacity granted (it reaches
    // the handler as request::admission), so that requests whose bodies are
    // still coming count against the limit. None: always admitted.
    std::function<std::shared_ptr<void>()> admit;
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

}  // namespace common
