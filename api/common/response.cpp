#include "common/response.hpp"

namespace common {

response json_response(const nlohmann::ordered_json& body, unsigned status) {
    response r;
    r.status = status;
    // Text from the request (a layer name) may be malformed UTF-8; it is shown
    // with replacement characters rather than failing the answer.
    r.body = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    r.media_type = "application/json";
    return r;
}

}  // namespace common
