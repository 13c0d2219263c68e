#include "common/public_url.hpp"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

#include <boost/beast/core/string.hpp>

namespace common {

namespace {

std::optional<std::string_view> header(const request& req, std::string_view name) {
    for (const auto& [n, v] : req.headers) {
        if (boost::beast::iequals(n, name)) return std::string_view(v);
    }
    return std::nullopt;
}

// The first item of a list a chain of proxies may have appended to.
std::string_view first_item(std::string_view v) {
    v = v.substr(0, v.find(','));
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
    return v;
}

// A host name, IPv4 or bracketed IPv6 address with an optional port: nothing
// that could break out of a URL.
bool plain_host(std::string_view h) {
    return !h.empty() && h.size() <= 255 && std::all_of(h.begin(), h.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_';
    });
}

}  // namespace

std::string public_base(const request& req, const public_url_options& options) {
    if (!options.public_url.empty()) {
        std::string base = options.public_url;
        while (!base.empty() && base.back() == '/') base.pop_back();
        return base;
    }
    std::string_view scheme = "http";
    std::string_view host = header(req, "Host").value_or("");
    if (options.trust_proxy) {
        if (auto p = header(req, "X-Forwarded-Proto"); p && (first_item(*p) == "https" || first_item(*p) == "http")) scheme = first_item(*p);
        if (auto h = header(req, "X-Forwarded-Host"); h && plain_host(first_item(*h))) host = first_item(*h);
    }
    if (!plain_host(host)) host = "localhost";
    return std::string(scheme) + "://" + std::string(host);
}

}  // namespace common
