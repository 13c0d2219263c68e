#pragma once
// The address clients reach this server at, for absolute URLs in documents
// (TileJSON, styles) that other programs load.

#include <string>

#include "common/response.hpp"

namespace common {

struct public_url_options {
    std::string public_url;    // fixed base, e.g. "https://maps.example.org"; empty: from the request
    bool trust_proxy = false;  // take X-Forwarded-Proto and X-Forwarded-Host from the request
};

// The base URL without a trailing slash: the configured one, else "http://"
// and the request's Host (or the proxy's forwarded scheme and host when
// trusted). A host that is not a plain name or address gives "localhost".
std::string public_base(const request& req, const public_url_options& options);

}  // namespace common
