#include "common/response.hpp"

namespace common {

response json_response(const nlohmann::ordered_json& body, unsigned status) {
    response r;
    r.status = status;
    r.body = body.dump();
    r.media_type = "application/json";
    return r;
}

}  // namespace common
