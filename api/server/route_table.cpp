#include "server/route_table.hpp"

#include <algorithm>

#include <boost/url/decode_view.hpp>
#include <boost/url/pct_string_view.hpp>

#include "metrics/metrics.hpp"

namespace server {

namespace {

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

// A segment's rank depends on the route's pattern alone: candidates are
// compared segment by segment, literal before prefixed before bare parameter.
bool outranks(const compiled_route& a, const compiled_route& b) {
    for (std::size_t i = 0; i < a.segments.size(); ++i) {
        int ra = a.segments[i].rank(), rb = b.segments[i].rank();
        if (ra != rb) return ra < rb;
    }
    return false;
}

bool matches(const compiled_route& c, const std::vector<std::string>& segments) {
    if (c.segments.size() != segments.size()) return false;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const auto& pat = c.segments[i];
        const auto& seg = segments[i];
        if (pat.literal) {
            if (seg != pat.text) return false;
        } else if (!(seg.size() > pat.prefix.size() + pat.suffix.size() && seg.starts_with(pat.prefix) && seg.ends_with(pat.suffix))) {
            return false;
        }
    }
    return true;
}

}  // namespace

void route_table::add(common::route r, std::vector<std::string> tags) {
    auto c = std::make_unique<compiled_route>();
    c->full_path = r.path;
    c->metric_id = metrics::add_route(r.path);
    c->segments = compile_template(r.path);
    c->tags = std::move(tags);
    for (const auto& seg : c->segments) {
        if (seg.literal) continue;
        auto declared = std::find_if(r.params.begin(), r.params.end(), [&](const common::param_spec& p) { return p.name == seg.text; });
        c->params.push_back(declared != r.params.end() ? *declared : common::path_param(seg.text, common::param_type::text));
        c->params.back().in = common::param_location::path;
        c->params.back().required = true;
    }
    for (const auto& p : r.params) {
        if (p.in == common::param_location::query) c->params.push_back(p);
    }
    c->r = std::move(r);
    m_routes.push_back(std::move(c));
}

const compiled_route* route_table::find(common::verb method, std::string_view path, std::vector<std::string>& segments,
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

    const compiled_route* best = nullptr;
    path_known = false;
    for (const auto& c : m_routes) {
        if (!matches(*c, segments)) continue;
        path_known = true;
        bool method_ok = c->r.method == method || (method == common::verb::head && c->r.method == common::verb::get);
        if (!method_ok) continue;
        if (best == nullptr || outranks(*c, *best)) best = c.get();
    }
    return best;
}

std::vector<std::string> route_table::methods(std::string_view path) const {
    std::vector<std::string> out;
    auto add = [&](std::string m) {
        if (std::find(out.begin(), out.end(), m) == out.end()) out.push_back(std::move(m));
    };
    for (auto method : {common::verb::get, common::verb::post, common::verb::put, common::verb::delete_}) {
        std::vector<std::string> segments;
        bool known = false;
        if (find(method, path, segments, known) == nullptr) continue;
        add(std::string(boost::beast::http::to_string(method)));
        if (method == common::verb::get) add("HEAD");
    }
    return out;
}

}  // namespace server
