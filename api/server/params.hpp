#pragma once
// Conversion of a request's raw path segments and query string into the
// typed parameters its route declares.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.hpp"
#include "server/route_table.hpp"

namespace server {

// The query string's values by name, decoded ('+' as space); the last of a
// repeated name wins. Nothing when the query string is malformed.
std::optional<std::map<std::string, std::string>> parse_query(std::string_view query);

// Converts every parameter of `route`, collecting all failures before
// answering: the values by name, or the issues when any does not convert.
// `segments` are the decoded path segments that matched the route.
struct converted_params {
    std::map<std::string, common::param_value> values;
    std::vector<common::validation_issue> issues;
};
converted_params convert_params(const compiled_route& route, const std::vector<std::string>& segments,
                                const std::map<std::string, std::string>& query);

}  // namespace server
