#pragma once
// The application: the routers mounted on the server and the host's own
// routes. A pure function from request to response (no sockets): it matches
// the route, converts the typed parameters, gives the handler its database
// session and turns failures into answers.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "common/response.hpp"
#include "common/route.hpp"
#include "server/http_policy.hpp"
#include "server/route_table.hpp"

namespace database {
class session;
}

namespace server {

namespace asio = boost::asio;

using session_factory = std::function<std::unique_ptr<database::session>()>;

class application {
public:
    explicit application(std::string title = "GIS API", std::string version = "1.0.0");
    application(const application&) = delete;
    application& operator=(const application&) = delete;

    // Mounts every route of `r` under its prefix, with its tags.
    void include_router(const common::router& r);
    // Adds one route of the host itself (no prefix, no tags).
    void add_route(common::route r, std::vector<std::string> tags = {});
    // Where `get_db` sessions come from.
    void set_session_factory(session_factory f) { m_sessions = std::move(f); }
    // The token that routes marked `admin` require as "Authorization: Bearer
    // <token>"; empty: those routes are open.
    void set_admin_token(std::string token) { m_admin_token = std::move(token); }
    // What every answer gets for browsers and caches (off unless set).
    void set_http_policy(http_policy policy) { m_features = std::make_unique<http_features>(std::move(policy)); }

    // The largest body the route for this method and target accepts (1 MiB when none matches).
    std::size_t body_limit(common::verb method, std::string_view target) const;
    // A route's admission of a request whose body is still to come.
    struct admission {
        std::optional<common::response> refused;  // the answer refusing it at once
        std::shared_ptr<void> hold;               // else what was granted, for request::admission
    };
    admission admit(const common::request& head) const;

    // Answers one request: every failure of the handler becomes its answer,
    // except a cancellation (the client has gone), which is passed on.
    asio::awaitable<common::response> handle(common::request req) const;

    // The OpenAPI 3 document generated from the registrations.
    const nlohmann::ordered_json& openapi() const;

private:
    // `route` is left as the matched route's metric label.
    asio::awaitable<common::response> answer(common::request& req, std::size_t& route) const;

    std::string m_title;
    std::string m_version;
    route_table m_routes;
    session_factory m_sessions;
    std::string m_admin_token;
    // Keeps compressed copies between requests; the loop is single-threaded.
    mutable std::unique_ptr<http_features> m_features;
    mutable std::optional<nlohmann::ordered_json> m_openapi;
};

// The OpenAPI 3 document of the routes in `table`.
nlohmann::ordered_json build_openapi(const route_table& table, const std::string& title, const std::string& version);

}  // namespace server
