#include "server/application.hpp"

#include <exception>

#include "database/session.hpp"
#include "metrics/metrics.hpp"
#include "server/error_answer.hpp"
#include "server/params.hpp"

namespace server {

namespace {

// Compares every byte whatever the first difference, so that the time taken
// tells nothing about how much of a guess was right.
bool same_secret(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

void require_token(const common::request& req, const std::string& token) {
    auto given = header_value(req, "Authorization");
    constexpr std::string_view scheme = "Bearer ";
    if (!given || given->size() < scheme.size() || !boost::beast::iequals(given->substr(0, scheme.size()), scheme) ||
        !same_secret(given->substr(scheme.size()), token)) {
        throw common::unauthorized("Not authenticated");
    }
}

metrics::method metric_method(common::verb v) {
    switch (v) {
        case common::verb::get: return metrics::method::get;
        case common::verb::head: return metrics::method::head;
        case common::verb::post: return metrics::method::post;
        case common::verb::options: return metrics::method::options;
        default: return metrics::method::other;
    }
}

// Counts a request as in flight for as long as it is answered, also when it
// ends by a cancellation.
struct in_flight {
    in_flight() { metrics::add_in_flight(1); }
    ~in_flight() { metrics::add_in_flight(-1); }
    in_flight(const in_flight&) = delete;
    in_flight& operator=(const in_flight&) = delete;
};

}  // namespace

application::application(std::string title, std::string version) : m_title(std::move(title)), m_version(std::move(version)) {
    common::route openapi_route;
    openapi_route.path = "/openapi.json";
    openapi_route.name = "openapi";
    openapi_route.description = "The OpenAPI document of this service.";
    openapi_route.handler = [this](common::request_context&) -> asio::awaitable<common::response> {
        co_return common::json_response(openapi());
    };
    add_route(std::move(openapi_route));
}

void application::include_router(const common::router& r) {
    for (const auto& rt : r.routes()) {
        common::route copy = rt;
        copy.path = r.prefix() + rt.path;
        add_route(std::move(copy), r.tags());
    }
}

void application::add_route(common::route r, std::vector<std::string> tags) {
    m_routes.add(std::move(r), std::move(tags));
    m_openapi.reset();
}

std::size_t application::body_limit(common::verb method, std::string_view target) const {
    auto q = target.find('?');
    std::vector<std::string> segments;
    bool known = false;
    if (auto* c = m_routes.find(method, target.substr(0, q), segments, known)) return c->r.body_limit;
    return 1024 * 1024;
}

application::admission application::admit(const common::request& head) const {
    std::string_view target = head.target;
    std::vector<std::string> segments;
    bool known = false;
    auto* c = m_routes.find(head.method, target.substr(0, target.find('?')), segments, known);
    if (c == nullptr || !c->r.admit) return {};
    try {
        return {.refused = std::nullopt, .hold = c->r.admit()};
    } catch (...) {
        auto r = error_answer(std::current_exception(), boost::beast::http::to_string(head.method), target);
        if (r && m_features) m_features->finish(head, *r);
        if (r) metrics::count_request(c->metric_id, metric_method(head.method), r->status, {});
        return {.refused = std::move(r), .hold = nullptr};
    }
}

asio::awaitable<common::response> application::handle(common::request req) const {
    const auto started = metrics::clock::now();
    const in_flight counted;
    std::size_t route = metrics::unmatched_route;
    auto r = co_await answer(req, route);
    if (m_features) {
        auto finishing = m_features->finish_async(req, r);
        co_await std::move(finishing);
    }
    metrics::count_request(route, metric_method(req.method), r.status, metrics::clock::now() - started);
    co_return r;
}

asio::awaitable<common::response> application::answer(common::request& req, std::size_t& route) const {
    std::string_view target = req.target;
    auto q = target.find('?');
    std::string_view path = target.substr(0, q);
    std::vector<std::string> segments;
    bool path_known = false;
    const compiled_route* c = m_routes.find(req.method, path, segments, path_known);
    if (c == nullptr && path_known && m_features) {
        if (auto r = m_features->preflight(req, m_routes.methods(path))) co_return std::move(*r);
    }
    if (c != nullptr) route = c->metric_id;

    std::unique_ptr<database::session> session;
    std::exception_ptr failure;
    std::optional<common::response> answer;
    try {
        // The router's own refusals are errors like the handlers', answered by the one table.
        if (c == nullptr && path_known) throw common::method_not_allowed("Method Not Allowed");
        if (c == nullptr) throw common::not_found("Not Found");
        std::map<std::string, std::string> query;
        if (q != std::string_view::npos) {
            auto parsed = parse_query(target.substr(q + 1));
            if (!parsed) throw common::bad_request("Malformed query string");
            query = std::move(*parsed);
        }
        auto converted = convert_params(*c, segments, query);
        if (!converted.issues.empty()) throw common::validation_error(std::move(converted.issues));
        if (c->r.uses_db) {
            if (!m_sessions) throw common::unavailable("Database is not configured");
            session = m_sessions();
        }
        common::request_context ctx(req, std::move(converted.values), session.get());
        if (c->r.admin && !m_admin_token.empty()) require_token(req, m_admin_token);
        // A request admitted before its body came holds its place already.
        if (c->r.admit && !req.admission) req.admission = c->r.admit();
        answer = co_await c->r.handler(ctx);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        answer = error_answer(failure, boost::beast::http::to_string(req.method), path);
        // Cancelled: the client went away, and the session's destructor hands
        // the connection back for cleaning.
        if (!answer) std::rethrow_exception(failure);
    }
    if (session) {
        // The session ends with the request, whatever the handler did with it.
        co_await session->close();
    }
    co_return std::move(*answer);
}

const nlohmann::ordered_json& application::openapi() const {
    if (!m_openapi) m_openapi = build_openapi(m_routes, m_title, m_version);
    return *m_openapi;
}

}  // namespace server
