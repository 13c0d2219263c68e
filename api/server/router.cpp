#include "server/router.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>

#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>
#include <boost/url/decode_view.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/parse_query.hpp>
#include <boost/url/params_view.hpp>
#include <boost/url/url_view.hpp>

#include "database/database.hpp"
#include "logger/logger.hpp"

namespace host {

nlohmann::ordered_json validation_error::body() const {
    nlohmann::ordered_json detail = nlohmann::ordered_json::array();
    for (const auto& issue : m_issues) {
        detail.push_back({{"loc", issue.loc}, {"msg", issue.msg}, {"type", issue.type}});
    }
    return {{"detail", detail}};
}

param_spec path_param(std::string name, param_type type, std::string description) {
    return {std::move(name), param_location::path, type, true, std::nullopt, std::move(description)};
}

param_spec required_query_param(std::string name, param_type type, std::string description) {
    return {std::move(name), param_location::query, type, true, std::nullopt, std::move(description)};
}

param_spec query_param(std::string name, param_type type, param_value default_value, std::string description) {
    return {std::move(name), param_location::query, type, false, std::move(default_value), std::move(description)};
}

database::session& request_context::db() const {
    if (m_db == nullptr) {
        throw std::logic_error("route was registered without a database session");
    }
    return *m_db;
}

response json_response(const nlohmann::ordered_json& body, unsigned status) {
    response r;
    r.status = status;
    r.body = body.dump();
    r.media_type = "application/json";
    return r;
}

namespace {

// One segment of a path template: a literal, or a parameter with an optional
// literal prefix and suffix around it (as in "{y}.pbf").
struct segment_pattern {
    bool literal = true;
    std::string text;  // the literal, or the parameter name
    std::string prefix;
    std::string suffix;

    // Lower ranks win when several routes match the same path.
    int rank() const { return literal ? 0 : (prefix.empty() && suffix.empty() ? 2 : 1); }
};

// Calls `each` with every segment of a path that starts with '/', in order,
// without allocating; a path that does not start with '/' has none.
template <typename F>
void for_each_segment(std::string_view path, F&& each) {
    if (path.empty() || path.front() != '/') return;
    for (std::size_t start = 1;;) {
        auto slash = path.find('/', start);
        each(path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) return;
        start = slash + 1;
    }
}

std::vector<segment_pattern> compile_template(const std::string& path) {
    std::vector<segment_pattern> out;
    for_each_segment(path, [&](std::string_view seg) {
        auto open = seg.find('{');
        auto close = seg.find('}');
        if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
            out.push_back({true, std::string(seg), {}, {}});
        } else {
            out.push_back({false, std::string(seg.substr(open + 1, close - open - 1)), std::string(seg.substr(0, open)),
                           std::string(seg.substr(close + 1))});
        }
    });
    return out;
}

const char* type_name(param_type t) {
    switch (t) {
        case param_type::integer: return "integer";
        case param_type::real: return "number";
        case param_type::boolean: return "boolean";
        case param_type::text: return "string";
    }
    return "string";
}

std::optional<std::int64_t> parse_integer(std::string_view s) {
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
    }
    std::int64_t v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || ptr != s.data() + s.size()) {
        return std::nullopt;
    }
    return v;
}

std::optional<double> parse_real(std::string_view s) {
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
    }
    double v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || ptr != s.data() + s.size()) {
        return std::nullopt;
    }
    return v;
}

std::optional<bool> parse_boolean(std::string_view s) {
    std::string lower(s);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* t : {"true", "1", "yes", "on", "t", "y"}) {
        if (lower == t) return true;
    }
    for (const char* f : {"false", "0", "no", "off", "f", "n"}) {
        if (lower == f) return false;
    }
    return std::nullopt;
}

// Converts one raw value; appends a validation issue and returns nothing when it does not convert.
std::optional<param_value> convert(const param_spec& spec, std::string_view raw, std::vector<validation_issue>& issues) {
    std::vector<std::string> loc{spec.in == param_location::path ? "path" : "query", spec.name};
    switch (spec.type) {
        case param_type::text: return param_value(std::string(raw));
        case param_type::integer:
            if (auto v = parse_integer(raw)) return param_value(*v);
            issues.push_back({loc, "Input should be a valid integer, unable to parse string as an integer", "int_parsing"});
            return std::nullopt;
        case param_type::real:
            if (auto v = parse_real(raw)) {
                if (std::isfinite(*v)) return param_value(*v);
                issues.push_back({loc, "Input should be a finite number", "finite_number"});
                return std::nullopt;
            }
            issues.push_back({loc, "Input should be a valid number, unable to parse string as a number", "float_parsing"});
            return std::nullopt;
        case param_type::boolean:
            if (auto v = parse_boolean(raw)) return param_value(*v);
            issues.push_back({loc, "Input should be a valid boolean, unable to interpret input", "bool_parsing"});
            return std::nullopt;
    }
    return std::nullopt;
}

std::string decode_segment(std::string_view raw) {
    auto checked = boost::urls::make_pct_string_view(raw);
    if (!checked) {
        return std::string(raw);
    }
    std::string out;
    out.reserve(raw.size());
    for (char c : checked->decode()) out.push_back(c);
    return out;
}

}  // namespace

struct application::compiled_route {
    route r;
    std::string full_path;
    std::vector<std::string> tags;
    std::vector<segment_pattern> segments;
    std::vector<param_spec> params;  // every parameter, path ones included, in declaration order
};

application::application(std::string title, std::string version) : m_title(std::move(title)), m_version(std::move(version)) {
    route openapi_route;
    openapi_route.path = "/openapi.json";
    openapi_route.name = "openapi";
    openapi_route.description = "The OpenAPI document of this service.";
    openapi_route.handler = [this](request_context&) -> asio::awaitable<response> { co_return json_response(openapi()); };
    add_route(std::move(openapi_route));
}

application::~application() = default;

void application::include_router(const router& r) {
    for (const auto& rt : r.routes()) {
        route copy = rt;
        copy.path = r.prefix() + rt.path;
        add_route(std::move(copy), r.tags());
    }
}

void application::add_route(route r, std::vector<std::string> tags) {
    auto c = std::make_unique<compiled_route>();
    c->full_path = r.path;
    c->segments = compile_template(r.path);
    c->tags = std::move(tags);
    for (const auto& seg : c->segments) {
        if (seg.literal) continue;
        auto declared = std::find_if(r.params.begin(), r.params.end(), [&](const param_spec& p) { return p.name == seg.text; });
        c->params.push_back(declared != r.params.end() ? *declared : path_param(seg.text, param_type::text));
        c->params.back().in = param_location::path;
        c->params.back().required = true;
    }
    for (const auto& p : r.params) {
        if (p.in == param_location::query) c->params.push_back(p);
    }
    c->r = std::move(r);
    m_routes.push_back(std::move(c));
    m_openapi.reset();
}

const application::compiled_route* application::find(verb method, std::string_view path, std::vector<std::string>& segments,
                                                     bool& path_known) const {
    segments.clear();
    for_each_segment(path, [&](std::string_view raw) {
        // Most segments have nothing to decode.
        if (raw.find('%') == std::string_view::npos) {
            segments.emplace_back(raw);
        } else {
            segments.push_back(decode_segment(raw));
        }
    });

    // A segment's rank depends on the route's pattern alone: candidates are
    // compared segment by segment, literal before prefixed before bare parameter.
    auto outranks = [](const compiled_route& a, const compiled_route& b) {
        for (std::size_t i = 0; i < a.segments.size(); ++i) {
            int ra = a.segments[i].rank(), rb = b.segments[i].rank();
            if (ra != rb) return ra < rb;
        }
        return false;
    };
    const compiled_route* best = nullptr;
    path_known = false;
    for (const auto& c : m_routes) {
        if (c->segments.size() != segments.size()) continue;
        bool ok = true;
        for (std::size_t i = 0; i < segments.size() && ok; ++i) {
            const auto& pat = c->segments[i];
            const auto& seg = segments[i];
            if (pat.literal) {
                ok = seg == pat.text;
            } else {
                ok = seg.size() > pat.prefix.size() + pat.suffix.size() && seg.starts_with(pat.prefix) && seg.ends_with(pat.suffix);
            }
        }
        if (!ok) continue;
        path_known = true;
        bool method_ok = c->r.method == method || (method == verb::head && c->r.method == verb::get);
        if (!method_ok) continue;
        if (best == nullptr || outranks(*c, *best)) best = c.get();
    }
    return best;
}

std::size_t application::body_limit(verb method, std::string_view target) const {
    auto q = target.find('?');
    std::vector<std::string> segments;
    bool known = false;
    if (auto* c = find(method, target.substr(0, q), segments, known)) return c->r.body_limit;
    return 1024 * 1024;
}

asio::awaitable<response> application::handle(const request& req) const {
    std::string_view target = req.target;
    auto q = target.find('?');
    std::string_view path = target.substr(0, q);
    std::vector<std::string> segments;
    bool path_known = false;
    const compiled_route* c = find(req.method, path, segments, path_known);
    if (c == nullptr) {
        if (path_known) {
            co_return json_response({{"detail", "Method Not Allowed"}}, 405);
        }
        co_return json_response({{"detail", "Not Found"}}, 404);
    }

    // Convert every declared parameter, collecting all failures before answering.
    std::map<std::string, param_value> values;
    std::vector<validation_issue> issues;
    std::map<std::string, std::string> query;
    if (q != std::string_view::npos) {
        boost::urls::encoding_opts opts;
        opts.space_as_plus = true;
        try {
            // The last occurrence of a repeated name wins.
            for (auto p : boost::urls::params_view(target.substr(q + 1), opts)) {
                query[p.key] = p.has_value ? std::string(p.value) : std::string();
            }
        } catch (const std::exception&) {
            co_return json_response({{"detail", "Malformed query string"}}, 400);
        }
    }
    for (const auto& spec : c->params) {
        std::optional<std::string> raw;
        if (spec.in == param_location::path) {
            for (std::size_t i = 0; i < c->segments.size(); ++i) {
                const auto& pat = c->segments[i];
                if (!pat.literal && pat.text == spec.name) {
                    const auto& seg = segments[i];
                    raw = seg.substr(pat.prefix.size(), seg.size() - pat.prefix.size() - pat.suffix.size());
                }
            }
        } else if (auto it = query.find(spec.name); it != query.end()) {
            raw = it->second;
        }
        if (!raw) {
            if (spec.default_value) {
                values[spec.name] = *spec.default_value;
            } else {
                issues.push_back({{spec.in == param_location::path ? "path" : "query", spec.name}, "Field required", "missing"});
            }
            continue;
        }
        if (auto v = convert(spec, *raw, issues)) values[spec.name] = std::move(*v);
    }
    if (!issues.empty()) {
        co_return json_response(validation_error(std::move(issues)).body(), 422);
    }

    std::unique_ptr<database::session> session;
    if (c->r.uses_db) {
        if (!m_sessions) {
            co_return json_response({{"detail", "Database is not configured"}}, 503);
        }
        session = m_sessions();
    }
    request_context ctx(req, std::move(values), session.get());

    std::exception_ptr failure;
    std::optional<response> answer;
    try {
        answer = co_await c->r.handler(ctx);
    } catch (const http_error& e) {
        answer = json_response({{"detail", e.detail()}}, e.status_code());
    } catch (const validation_error& e) {
        answer = json_response(e.body(), 422);
    } catch (const std::exception& e) {
        if (is_cancellation(e)) {
            failure = std::current_exception();
        } else {
            logger::get_logger()->error("Unhandled error in {} {}: {}", std::string(boost::beast::http::to_string(req.method)),
                                        std::string(path), e.what());
            answer = json_response({{"detail", "Internal Server Error"}}, 500);
        }
    }
    if (failure) {
        // The client went away; the session's destructor hands the connection back for cleaning.
        std::rethrow_exception(failure);
    }
    if (session) {
        // The session ends with the request, whatever the handler did with it.
        co_await session->close();
    }
    co_return std::move(*answer);
}

const nlohmann::ordered_json& application::openapi() const {
    if (!m_openapi) m_openapi = build_openapi();
    return *m_openapi;
}

namespace {

std::string title_case(const std::string& name) {
    std::string out;
    bool start = true;
    for (char ch : name) {
        if (ch == '_') {
            out.push_back(' ');
            start = true;
        } else {
            out.push_back(start ? static_cast<char>(std::toupper(static_cast<unsigned char>(ch))) : ch);
            start = false;
        }
    }
    return out;
}

nlohmann::ordered_json to_json(const param_value& v) {
    return std::visit([](const auto& x) { return nlohmann::ordered_json(x); }, v);
}

}  // namespace

nlohmann::ordered_json application::build_openapi() const {
    using json = nlohmann::ordered_json;
    json paths = json::object();
    for (const auto& c : m_routes) {
        json op;
        if (!c->tags.empty()) op["tags"] = c->tags;
        op["summary"] = title_case(c->r.name);
        if (!c->r.description.empty()) op["description"] = c->r.description;
        op["operationId"] = c->r.name + "_" + std::string(boost::beast::http::to_string(c->r.method));
        json params = json::array();
        for (const auto& p : c->params) {
            json schema{{"type", type_name(p.type)}, {"title", title_case(p.name)}};
            if (p.default_value) schema["default"] = to_json(*p.default_value);
            json entry{{"name", p.name}, {"in", p.in == param_location::path ? "path" : "query"}, {"required", p.required}, {"schema", schema}};
            if (!p.description.empty()) entry["description"] = p.description;
            params.push_back(std::move(entry));
        }
        if (!params.empty()) op["parameters"] = params;
        json responses{{"200", {{"description", "Successful Response"}}}};
        if (!c->params.empty()) {
            responses["422"] = {{"description", "Validation Error"}};
        }
        op["responses"] = responses;
        std::string method(boost::beast::http::to_string(c->r.method));
        std::transform(method.begin(), method.end(), method.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        paths[c->full_path][method] = op;
    }
    return {{"openapi", "3.1.0"}, {"info", {{"title", m_title}, {"version", m_version}}}, {"paths", paths}};
}

}  // namespace host
