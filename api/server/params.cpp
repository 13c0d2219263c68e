#include "server/params.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>

#include <boost/url/params_view.hpp>

namespace server {

namespace {

using common::param_location;
using common::param_spec;
using common::param_type;
using common::param_value;
using common::validation_issue;

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

const char* location_name(param_location in) { return in == param_location::path ? "path" : "query"; }

// Converts one raw value; appends a validation issue and returns nothing when it does not convert.
std::optional<param_value> convert(const param_spec& spec, std::string_view raw, std::vector<validation_issue>& issues) {
    std::vector<std::string> loc{location_name(spec.in), spec.name};
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

}  // namespace

std::optional<std::map<std::string, std::string>> parse_query(std::string_view query) {
    std::map<std::string, std::string> out;
    boost::urls::encoding_opts opts;
    opts.space_as_plus = true;
    try {
        for (auto p : boost::urls::params_view(query, opts)) {
            out[p.key] = p.has_value ? std::string(p.value) : std::string();
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return out;
}

converted_params convert_params(const compiled_route& route, const std::vector<std::string>& segments,
                                const std::map<std::string, std::string>& query) {
    converted_params out;
    for (const auto& spec : route.params) {
        std::optional<std::string> raw;
        if (spec.in == param_location::path) {
            for (std::size_t i = 0; i < route.segments.size(); ++i) {
                const auto& pat = route.segments[i];
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
                out.values[spec.name] = *spec.default_value;
            } else {
                out.issues.push_back({{location_name(spec.in), spec.name}, "Field required", "missing"});
            }
            continue;
        }
        if (auto v = convert(spec, *raw, out.issues)) out.values[spec.name] = std::move(*v);
    }
    return out;
}

}  // namespace server
