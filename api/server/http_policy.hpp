#pragma once
// What the server adds to every answer for browsers and caches: CORS headers
// and preflights, strong ETags with 304 answers to If-None-Match, and gzip
// when the client asks for it. Applied by the application after the handler,
// so handlers only ever produce identity bytes.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/thread_pool.hpp>

#include "common/response.hpp"
#include "common/route.hpp"

namespace server {

struct http_policy {
    bool cors = false;                      // off: no CORS headers, OPTIONS is 405 like any method without a route
    std::vector<std::string> cors_origins;  // with cors: the origins allowed; empty allows any ("*"), GET and HEAD only
    bool conditional = false;               // strong ETags, 304 for a matching If-None-Match
    bool compression = false;               // brotli or gzip for clients that accept them
    std::size_t compressed_cache_bytes = 32u << 20;  // compressed copies kept for reuse
};

// The value of the request's header `name` (case-insensitive), or nothing.
std::optional<std::string_view> header_value(const common::request& req, std::string_view name);

// Whether an Accept-Encoding value allows gzip (a q-value of 0 refuses it).
bool accepts_gzip(std::string_view accept_encoding);

// The content codings the server sends.
enum class content_coding { identity, gzip, br };

// The coding to send to a client with this Accept-Encoding value: of br and
// gzip the one with the higher q-value (br on a tie), "*" standing for any
// coding not listed, a q-value of 0 refusing; identity when neither is
// acceptable. `identity_refused` is set when the value refuses identity
// ("identity;q=0", or "*;q=0" without identity listed).
content_coding choose_coding(std::string_view accept_encoding, bool* identity_refused = nullptr);

// The brotli form of `bytes`, at `quality` (0 to 11).
std::string brotli(std::string_view bytes, int quality);

// Whether an If-None-Match value matches `etag` (weak comparison, "*" matches any).
bool none_match(std::string_view if_none_match, std::string_view etag);

// The gzip form of `bytes`.
std::string gzip(std::string_view bytes);

class http_features {
public:
    explicit http_features(http_policy policy) : m_policy(std::move(policy)) {}

    const http_policy& policy() const noexcept { return m_policy; }

    // The answer to a CORS preflight (OPTIONS with an Origin) for a path whose
    // routes accept `methods`, or nothing when CORS is off or the request is not one.
    std::optional<common::response> preflight(const common::request& req, const std::vector<std::string>& methods) const;

    // Adds CORS headers, and for a 200 answer to GET or HEAD its ETag, its
    // compressed form when the client asked, or 304 when the client has it.
    void finish(const common::request& req, common::response& answer);

    // finish(), except that a large body not yet compressed is compressed on
    // the features' own thread, so that the loop is not held meanwhile.
    boost::asio::awaitable<void> finish_async(const common::request& req, common::response& answer);

private:
    // The origin that may read the answer, or nothing.
    std::optional<std::string> allowed_origin(const common::request& req) const;
    // The coding `answer` is to be sent in for `req` (identity when none).
    content_coding wanted_coding(const common::request& req, const common::response& answer) const;
    std::shared_ptr<const std::string> compressed(std::uint64_t hash, std::string_view bytes, content_coding coding);
    std::shared_ptr<const std::string> find_compressed(std::uint64_t hash, std::size_t identity_size, content_coding coding);
    void keep_compressed(std::uint64_t hash, std::size_t identity_size, content_coding coding, std::shared_ptr<const std::string> made);

    http_policy m_policy;
    // Compressed copies by the hash of their identity bytes, least recently used first.
    struct entry {
        std::uint64_t hash;  // of the identity bytes, mixed with the coding
        content_coding coding;
        std::size_t identity_size;
        std::shared_ptr<const std::string> bytes;
    };
    std::list<entry> m_order;
    std::unordered_map<std::uint64_t, std::list<entry>::iterator> m_compressed;
    std::size_t m_compressed_bytes = 0;
    // Made when first needed, in the worker that needs it.
    std::unique_ptr<boost::asio::thread_pool> m_pool;
};

}  // namespace server
