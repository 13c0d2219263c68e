#pragma once
// The server's table of mounted routes and the matching of a request path
// against it. Matching only: converting parameters and calling handlers is
// the application's.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/route.hpp"

namespace server {

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

// A mounted route: its declaration with the full path, tags and every
// parameter (path ones first, in template order, then the query ones).
struct compiled_route {
    common::route r;
    std::string full_path;
    std::vector<std::string> tags;
    std::vector<segment_pattern> segments;
    std::vector<common::param_spec> params;
    std::size_t metric_id = 0;  // the route's label in the metrics
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

class route_table {
public:
    // Adds a route under its full path; undeclared path parameters are text.
    void add(common::route r, std::vector<std::string> tags);

    // The best route for the method and the path (no query), or null. The
    // path's decoded segments are left in `segments` for parameter
    // conversion; `path_known` tells whether any route has this path at all
    // (for 405 against 404).
    const compiled_route* find(common::verb method, std::string_view path, std::vector<std::string>& segments, bool& path_known) const;

    // The methods that routes of this path accept ("GET", "HEAD", "POST"), without duplicates.
    std::vector<std::string> methods(std::string_view path) const;

    const std::vector<std::unique_ptr<compiled_route>>& routes() const noexcept { return m_routes; }

private:
    std::vector<std::unique_ptr<compiled_route>> m_routes;
};

}  // namespace server
