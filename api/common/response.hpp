#pragma once
// The plain request and response values that routes work with. Routes and
// their handlers never see a socket; the server converts to and from Beast.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/verb.hpp>
#include <nlohmann/json.hpp>

namespace common {

struct request {
    boost::beast::http::verb method = boost::beast::http::verb::get;
    std::string target;  // path and query as received, still percent-encoded
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // What the route's admission granted before the body was read (a place
    // among the plans in flight), held as long as the request needs it.
    std::shared_ptr<void> admission;
};

// An answer that goes on after its head, as a stream of text (Server-Sent
// Events): the server writes each piece `next` gives until it gives nothing
// or the client goes, then closes the connection. `next` must end its wait
// when cancelled.
class event_source {
public:
    virtual ~event_source() = default;
    virtual boost::asio::awaitable<std::optional<std::string>> next() = 0;
};

struct response {
    unsigned status = 200;
    std::string body;  // bytes, sent unchanged
    // Bytes shared with a cache, sent instead of `body` without being copied.
    std::shared_ptr<const std::string> shared_body;
    std::string media_type = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    // Set: the body is this stream, sent without a length on a connection that then closes.
    std::shared_ptr<event_source> events;

    // An answer with no body (204, or a 200 without content).
    static response empty(unsigned status) {
        response r;
        r.status = status;
        r.media_type.clear();
        return r;
    }
    static response raw(std::string bytes, std::string media_type, std::vector<std::pair<std::string, std::string>> headers = {},
                        unsigned status = 200) {
        response r;
        r.status = status;
        r.body = std::move(bytes);
        r.media_type = std::move(media_type);
        r.headers = std::move(headers);
        return r;
    }
    static response raw(std::shared_ptr<const std::string> bytes, std::string media_type,
                        std::vector<std::pair<std::string, std::string>> headers = {}, unsigned status = 200) {
        response r = raw(std::string(), std::move(media_type), std::move(headers), status);
        r.shared_body = std::move(bytes);
        return r;
    }
};

// A JSON answer; malformed UTF-8 in its text becomes U+FFFD.
response json_response(const nlohmann::ordered_json& body, unsigned status = 200);

}  // namespace common
