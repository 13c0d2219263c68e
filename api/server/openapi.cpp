#include <algorithm>
#include <cctype>

#include "server/application.hpp"

namespace server {

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

const char* type_name(common::param_type t) {
    switch (t) {
        case common::param_type::integer: return "integer";
        case common::param_type::real: return "number";
        case common::param_type::boolean: return "boolean";
        case common::param_type::text: return "string";
    }
    return "string";
}

nlohmann::ordered_json to_json(const common::param_value& v) {
    return std::visit([](const auto& x) { return nlohmann::ordered_json(x); }, v);
}

}  // namespace

nlohmann::ordered_json build_openapi(const route_table& table, const std::string& title, const std::string& version) {
    using json = nlohmann::ordered_json;
    json paths = json::object();
    for (const auto& c : table.routes()) {
        json op;
        if (!c->tags.empty()) op["tags"] = c->tags;
        op["summary"] = title_case(c->r.name);
        if (!c->r.description.empty()) op["description"] = c->r.description;
        op["operationId"] = c->r.name + "_" + std::string(boost::beast::http::to_string(c->r.method));
        json params = json::array();
        for (const auto& p : c->params) {
            json schema{{"type", type_name(p.type)}, {"title", title_case(p.name)}};
            if (p.default_value) schema["default"] = to_json(*p.default_value);
            json entry{{"name", p.name},
                       {"in", p.in == common::param_location::path ? "path" : "query"},
                       {"required", p.required},
                       {"schema", schema}};
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
    return {{"openapi", "3.1.0"}, {"info", {{"title", title}, {"version", version}}}, {"paths", paths}};
}

}  // namespace server
